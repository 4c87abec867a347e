// What the production line tells the factory link: its options, the
// recipe's name, and a board as a unit with its result.
#pragma once

#include "common/download_job.h"
#include "common/options.h"
#include "common/board_identity.h"
#include "factory/factory_link.h"

#include <string>

namespace gang {

factory::FactoryLinkOptions factoryLinkOptions(const Options &options);

// The recipe as the factory sees it: its name, the image's file name for a
// recipe without one, or record.dat where the settings come from.
std::string factoryRecipeName(const Options &options, const DownloadJob &job);

// The unit a board is, at its slot.
factory::cfx::Unit factoryUnit(const BoardIdentity &identity);

// What the factory is told of a board that ended as kind.
factory::cfx::BoardResult factoryResult(const DownloadJob &job, const std::string &recipe,
                                        factory::cfx::BoardResult::Kind kind,
                                        const BoardRecord &record);

} // namespace gang
