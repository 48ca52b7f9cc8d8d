#pragma once
// The picture decoder that the image loaders use: the packaged stb_image header compiled here with
// two settings of our own, so that what it returns depends on the file alone.
//
// - Every buffer it allocates starts zeroed. The decoder leaves parts of its output and state
//   unwritten for some damaged files (a JPEG whose scans stop early or never come, a file whose
//   rows end before the picture does); those parts now read as zeros, where they would otherwise
//   hold whatever the heap held, which differs from run to run and between the pictures of one
//   process.
// - Only PNG, JPEG, BMP and binary PNM (P5, P6) are compiled in. The decoder's other formats loop
//   for ever or keep stack memory in their pictures on files a few bytes long; they are refused as
//   files of another format.
//
// The functions are the decoder's own (its documentation describes them), under our names.
#ifdef __cplusplus
extern "C" {
#endif

int pictureCodecInfo(const unsigned char* bytes, int length, int* width, int* height, int* components);
int pictureCodecIs16Bit(const unsigned char* bytes, int length);
unsigned char* pictureCodecLoad(const unsigned char* bytes, int length, int* width, int* height, int* components,
                                int wantedComponents);
unsigned short* pictureCodecLoad16(const unsigned char* bytes, int length, int* width, int* height, int* components,
                                   int wantedComponents);
void pictureCodecFree(void* pixels);
void pictureCodecSetFlipOnLoad(int flip);

#ifdef __cplusplus
}
#endif
