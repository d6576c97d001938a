/* 3.13: the official build has the mimalloc allocator, which the headers
 * then name among the allocators one can ask for (cpython/pymem.h). */
#define WITH_MIMALLOC 1
