#include "Image/PictureCodec.h"

#include <stdlib.h>
#include <string.h>

static void* zeroedAllocate(size_t size) { return calloc(1, size); }

/* The decoder grows its inflate and data buffers by reallocation; the new part starts zeroed too. */
static void* zeroedReallocate(void* block, size_t oldSize, size_t newSize) {
  unsigned char* grown = (unsigned char*)realloc(block, newSize);
  if (grown != NULL && newSize > oldSize) memset(grown + oldSize, 0, newSize - oldSize);
  return grown;
}

#define STBI_MALLOC(size) zeroedAllocate(size)
#define STBI_REALLOC_SIZED(block, oldSize, newSize) zeroedReallocate(block, oldSize, newSize)
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
