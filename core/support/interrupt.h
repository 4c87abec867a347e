// Internal side of interruption: the device operations mark themselves as
// running, so that a signal cancels them instead of ending the process, and
// the file writers name their temporary file, so that a signal removes it.
#pragma once

// Device operations bracket themselves with these (nesting is not needed:
// one operation at a time per process).
void kelvo_operation_begin(void);
void kelvo_operation_end(void);

// The temporary file being written now, or nullptr. The name is copied
// into a fixed buffer that the signal handler reads; a longer name is not
// registered (the file is then only cleaned up by the next save).
void kelvo_register_temp_file(const char *path);
void kelvo_unregister_temp_file(void);
