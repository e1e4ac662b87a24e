/* Packs a file with libmorv, extracts it again and checks the round trip.
 *   morv_roundtrip FILE [PACKED]    (PACKED: also write the packed bytes there)
 * Build against the installed library:
 *   cc morv_roundtrip.c $(pkg-config --cflags --libs morv)
 *   cc -static morv_roundtrip.c $(pkg-config --static --cflags --libs morv)
 * or with CMake: find_package(morv) and target_link_libraries(... morv::morv). */
#include <morv/morv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned char* read_file(const char* name, size_t* size) {
    FILE* f = fopen(name, "rb");
    if (f == NULL) return NULL;
    fseek(f, 0, SEEK_END);
    long length = ftell(f);
    fseek(f, 0, SEEK_SET);
    unsigned char* data = malloc(length > 0 ? (size_t)length : 1);
    *size = data != NULL ? fread(data, 1, (size_t)length, f) : 0;
    fclose(f);
    return data;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE [PACKED]\n", argv[0]);
        return 2;
    }
    size_t size = 0;
    unsigned char* data = read_file(argv[1], &size);
    if (data == NULL || size == 0) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    morv_params params;
    morv_params_init(&params); /* distance coding, one block of up to 10 MiB */
    size_t capacity = morv_compress_bound(size), packed_size = 0, restored_size = 0;
    unsigned char* packed = malloc(capacity);
    unsigned char* restored = malloc(size);
    int result = morv_compress(data, size, packed, capacity, &packed_size, &params);
    if (result == MORV_OK)
        result = morv_extract(packed, packed_size, restored, size, &restored_size, 0, 0);
    if (result != MORV_OK) {
        fprintf(stderr, "%s: %s\n", morv_error_text(result), morv_last_error());
        return 1;
    }
    if (argc > 2) {
        FILE* out = fopen(argv[2], "wb");
        if (out == NULL || fwrite(packed, 1, packed_size, out) != packed_size || fclose(out) != 0)
            return 1;
    }
    int same = restored_size == size && memcmp(restored, data, size) == 0;
    printf("%zu -> %zu bytes, round trip %s\n", size, packed_size, same ? "exact" : "DIFFERENT");
    free(data);
    free(packed);
    free(restored);
    return same ? 0 : 1;
}
