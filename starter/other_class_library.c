/*
 * The 64-bit stand-in for libquarrow.so, loaded where the tracker's $LIB
 * path meets a 64-bit program: it defines nothing, so that program keeps
 * the C library's allocator.
 */
int quarrow_other_class_stand_in;
