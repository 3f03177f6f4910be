#pragma once

// Open descriptors, where the system limits how many a process may hold at once (Linux);
// elsewhere there is no such limit to mind and these do nothing.

// Raises the process's soft limit to its hard limit, which an unprivileged process may do:
// a desktop session or a service gets 1024 by default, fewer than a few thousand modems take.
void raise_descriptor_limit();

// The limit in force; 0 where there is none.
long descriptor_limit();
// How many descriptors the process holds; -1 where that is not known.
long open_descriptor_count();

// One descriptor held back for a file that must still open when every other is taken (the
// log): freed for that moment by release_descriptor_reserve, taken again by
// keep_descriptor_reserve. The caller serialises the two.
void keep_descriptor_reserve();
void release_descriptor_reserve();
