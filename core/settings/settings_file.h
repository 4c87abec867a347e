// Helpers shared by the two settings files ("record.dat", "generate.dat"):
// fixed-size raw records read, created and replaced whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Reads up to size bytes of path over buf, which the caller has filled with
// the default record, so a short file is completed from the defaults. On
// failure prints "error in opening file : <reason>", leaves buf as it was
// and returns 186; else 176.
int load_record_file(const char *path, void *buf, size_t size);
// Writes the default record unless path already exists. An existing path
// that cannot be read is reported but never replaced.
void create_record_file(const char *path, const void *defaults, size_t size);
// 176, or 186 after the error line; the old file survives a failure.
int save_record_file(const char *path, const void *buf, size_t size);

// Opens for reading without waiting: a named pipe in a file's place would
// otherwise block the open until some writer came. nullptr with errno set.
std::FILE *open_without_waiting(const char *path);

// The C library's lenient decimal parse, low 32 bits kept.
int32_t parse_decimal32(const char *text);
// Zero-fills the field and copies text in; refuses (message naming the
// field and its limit, field untouched) text that leaves no room for the NUL.
bool text_fits(const char *text, size_t width, const char *field_name);
void store_text(char *field, size_t width, const char *text);
// The field's text, never reading past its width (a full field has no NUL).
std::string field_text(const char *field, size_t width);
