/* libmorv: the morv-Q17 block-sorting compressor as a C library.
 *
 * The functions below write and read the packed format of the morv-Q17
 * program (docs/FORMAT.md), byte for byte: morv_compress gives the packed
 * file the program writes for the same options, morv_extract gives back what
 * the program extracts, with every check the program makes.
 *
 * Conventions for every function:
 *  - Buffers belong to the caller; the library keeps no pointer after a call
 *    returns and allocates only working memory, released before it returns.
 *  - A function returns 0 (MORV_OK) on success and a negative MORV_ERROR_...
 *    code otherwise. morv_error_text gives a short text for a code;
 *    morv_last_error the full message of the calling thread's last failure
 *    (the program's own texts, such as "Error in compressed file (invalid
 *    BWT column)").
 *  - No exception, exit or console output ever leaves the library.
 *  - Thread safety: the library has no global state but the per-thread last
 *    error. Calls on different threads are independent and may run at the
 *    same time, with different parameters; each call may use several threads
 *    of its own (see morv_params.threads).
 *  - Usable from C and C++.
 */
#ifndef MORV_MORV_H
#define MORV_MORV_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(MORV_SHARED_BUILD)
#define MORV_API __declspec(dllexport)
#elif defined(__GNUC__)
#define MORV_API __attribute__((visibility("default")))
#else
#define MORV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Methods for morv_params.method. */
#define MORV_DC 0  /* distance coding (the program's default) */
#define MORV_MTF 1 /* move-to-front (the program's -m) */

/* Results. */
#define MORV_OK 0
#define MORV_ERROR_PARAMS (-1)    /* a bad parameter or combination, an empty input, a null pointer */
#define MORV_ERROR_DAMAGED (-2)   /* the packed data are not a valid packed file */
#define MORV_ERROR_ROOM (-3)      /* the destination is too small */
#define MORV_ERROR_MEMORY (-4)    /* working memory could not be allocated */
#define MORV_ERROR_TOO_LARGE (-5) /* an input of more than 4294967295 bytes */
#define MORV_ERROR_INTERNAL (-6)  /* anything else (a failure of the system) */

/* How to compress; set with morv_params_init, then change fields.
 *  method       MORV_DC or MORV_MTF.
 *  static_coder with MORV_MTF: the static arithmetic coder (-s) instead of
 *               the adaptive one. Refused with MORV_DC.
 *  rle0         with MORV_MTF: zero-run coding (on by default; 0 is the
 *               program's --norle0). Ignored with MORV_DC.
 *  prefix_code  with MORV_DC: the fixed prefix code (-p) instead of the
 *               arithmetic coder. Refused with MORV_MTF. Not recorded in the
 *               packed data: extract with the same choice.
 *  block_size   bytes per block (-b); 0: blocks of the smaller of the input
 *               size and 10485760 bytes; larger values count as 10485760.
 *  threads      the most threads one call may use; 0: every processor the
 *               process may run on. The output is the same for any value. */
typedef struct morv_params {
    int method;
    int static_coder;
    int rle0;
    int prefix_code;
    uint32_t block_size;
    unsigned threads;
} morv_params;

/* Sets the program's defaults: MORV_DC, adaptive coder, rle0 on, no prefix
 * code, block_size 0, threads 0. */
MORV_API void morv_params_init(morv_params* params);

/* An upper bound of the packed size of `size` input bytes with block_size 0
 * or at least 4096 (any method and coder): 3 bytes per input byte and about
 * 1 KiB per block (incompressible data grow by about 1%, by 43% with the
 * prefix code); 0 when size is above 4294967295 (no such input can be packed).
 * Smaller blocks cost more per byte: morv_compress_bound_params gives the
 * bound for a given parameter set. */
MORV_API size_t morv_compress_bound(uint64_t size);

/* The largest packed size of `size` input bytes with these parameters; 0 for
 * invalid parameters or size above 4294967295. */
MORV_API size_t morv_compress_bound_params(uint64_t size, const morv_params* params);

/* Packs src[0..src_size) into dst[0..dst_capacity) and stores the packed size
 * in *dst_size. params may be null (the defaults). Errors: MORV_ERROR_PARAMS
 * (bad parameters, src_size 0, a null pointer), MORV_ERROR_TOO_LARGE,
 * MORV_ERROR_ROOM (dst_capacity below the packed size; dst's content is then
 * unspecified), MORV_ERROR_MEMORY. */
MORV_API int morv_compress(const void* src, size_t src_size, void* dst, size_t dst_capacity,
                           size_t* dst_size, const morv_params* params);

/* Stores in *size the unpacked size that the packed data src[0..src_size)
 * declare: the sum over all parts of packed files written one after another.
 * Reads the file and block headers (not the payloads) and checks them as
 * extraction does; MORV_ERROR_DAMAGED when they are not a packed file. */
MORV_API int morv_unpacked_size(const void* src, size_t src_size, uint64_t* size);

/* Restores packed data (one packed file, or several written one after
 * another) into dst[0..dst_capacity) and stores the restored size in
 * *dst_size. prefix_code: as given when compressing. threads as in
 * morv_params. Errors: MORV_ERROR_DAMAGED (with the program's message in
 * morv_last_error), MORV_ERROR_ROOM (dst_capacity below the unpacked size),
 * MORV_ERROR_MEMORY, MORV_ERROR_PARAMS (a null pointer). dst's content is
 * unspecified after an error. */
MORV_API int morv_extract(const void* src, size_t src_size, void* dst, size_t dst_capacity,
                          size_t* dst_size, int prefix_code, unsigned threads);

/* Progress of a long call: `done` bytes of the original of `total` (for
 * extraction, the unpacked sizes declared so far; it grows with packed files
 * written one after another), and the caller's `user` pointer. Called on the
 * calling thread after every block; it must not call back into the library
 * for the same buffers. */
typedef void (*morv_progress_callback)(uint64_t done, uint64_t total, void* user);

/* morv_compress, calling `progress` (when not null) after every block. */
MORV_API int morv_compress_progress(const void* src, size_t src_size, void* dst, size_t dst_capacity,
                                    size_t* dst_size, const morv_params* params,
                                    morv_progress_callback progress, void* user);

/* morv_extract, calling `progress` (when not null) after every block. */
MORV_API int morv_extract_progress(const void* src, size_t src_size, void* dst, size_t dst_capacity,
                                   size_t* dst_size, int prefix_code, unsigned threads,
                                   morv_progress_callback progress, void* user);

/* A short, fixed text for a result code ("no error", "damaged packed data",
 * ...); never null. */
MORV_API const char* morv_error_text(int code);

/* The full message of the last failure on the calling thread ("" when none
 * failed yet); valid until the thread's next failing call. */
MORV_API const char* morv_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* MORV_MORV_H */
