// The client's allocator settings, which jemalloc reads from this symbol as the process starts
// (MALLOC_CONF in the environment still overrides them).
//
// A replay of a large fixture builds and frees tens of MiB of small objects in a fraction of a
// second, on two threads. Faulting that memory in 4 KiB at a time took about half its run time;
// asking for transparent huge pages for the heap (honoured where the kernel's mode is "madvise"
// or "always") makes it a few hundred faults. Every other command is small enough not to notice.

extern "C" {
const char* malloc_conf = "thp:always,metadata_thp:auto";
}
