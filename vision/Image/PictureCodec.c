#include "Image/PictureCodec.h"

#include <stdlib.h>

static void* zeroedAllocate(size_t size) { return calloc(1, size); }

/* Reallocation only grows the buffers that the decoder fills in order and reads back no further
   than it has filled (compressed PNG data, and the inflated rows, whose count it checks), so their
   new part is left as it comes: zeroing it would cost a pass over the gigabytes that a damaged
   header can ask for before the file runs out. */
#define STBI_MALLOC(size) zeroedAllocate(size)
#define STBI_REALLOC(block, size) realloc(block, size)
#define STBI_FREE(block) free(block)
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
#define STBI_ONLY_PNM
#define STBI_NO_STDIO
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

int pictureCodecInfo(const unsigned char* bytes, int length, int* width, int* height, int* components) {
  return stbi_info_from_memory(bytes, length, width, height, components);
}

int pictureCodecIs16Bit(const unsigned char* bytes, int length) { return stbi_is_16_bit_from_memory(bytes, length); }

unsigned char* pictureCodecLoad(const unsigned char* bytes, int length, int* width, int* height, int* components,
                                int wantedComponents) {
  return stbi_load_from_memory(bytes, length, width, height, components, wantedComponents);
}

unsigned short* pictureCodecLoad16(const unsigned char* bytes, int length, int* width, int* height, int* components,
                                   int wantedComponents) {
  return stbi_load_16_from_memory(bytes, length, width, height, components, wantedComponents);
}

void pictureCodecFree(void* pixels) { stbi_image_free(pixels); }

void pictureCodecSetFlipOnLoad(int flip) { stbi_set_flip_vertically_on_load(flip); }
