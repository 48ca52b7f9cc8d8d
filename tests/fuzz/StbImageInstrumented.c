/* The codec's decoders compiled from the packaged header, so that the fuzzer sees their coverage
   and the sanitizers check their memory accesses. The packaged shared library is built from the
   same header with no options set, so the fuzz targets decode exactly as the program does. */
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
