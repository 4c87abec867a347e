#include "common/factory_report.h"

namespace gang {

factory::FactoryLinkOptions factoryLinkOptions(const Options &options) {
    factory::FactoryLinkOptions link;
    link.url = options.cfxUrl;
    link.handle = options.cfxHandle;
    link.spoolDir = options.cfxSpool;
    link.password = options.cfxPassword;
    return link;
}

std::string factoryRecipeName(const Options &options, const DownloadJob &job) {
    if (options.recipeFile.empty()) {
        return "record.dat";
    }
    if (!job.recipeName.empty()) {
        return job.recipeName;
    }
    return job.imagePath.substr(job.imagePath.find_last_of('/') + 1);
}

factory::cfx::Unit factoryUnit(const BoardIdentity &identity) {
    factory::cfx::Unit unit;
    unit.position = static_cast<int>(identity.slot + 1);
    unit.positionName = identity.label;
    unit.identifier = identity.unit;
    return unit;
}

factory::cfx::BoardResult factoryResult(const DownloadJob &job, const std::string &recipe,
                                        factory::cfx::BoardResult::Kind kind,
                                        const BoardRecord &report) {
    factory::cfx::BoardResult result;
    result.kind = kind;
    result.recipe = recipe;
    result.imageSha256 = job.imageSha256;
    result.flashOffset = job.record.flash_offset;
    result.reason = kind == factory::cfx::BoardResult::Kind::Passed ? "" : report.outcome;
    result.resultCode = report.finished ? report.result : -1;
    result.values = report.id.values;
    result.end = std::chrono::system_clock::now();
    result.start = result.end - std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                    std::chrono::duration<double>(report.seconds));
    return result;
}

} // namespace gang
