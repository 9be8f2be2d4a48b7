/* Builds a small index through the C interface, searches it and checks that
 * every vector finds itself first. Exits with 0 on success. */
#include <stdio.h>
#include <stdlib.h>

#include "orvane/csrc/orvane_c.h"

#define DIM 8
#define COUNT 64
#define TOPK 2

static int fail(const char* step, const char* err) {
    fprintf(stderr, "%s failed: %s\n", step, err);
    return 1;
}

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "c_example.idx";
    char err[256];
    float vectors[COUNT * DIM];
    float distances[COUNT * TOPK];
    uint64_t ids[COUNT * TOPK];
    int i;
    for (i = 0; i < COUNT * DIM; ++i) vectors[i] = (float)((i * 7919) % 101) / 101.0f;
    for (i = 0; i < COUNT; ++i) vectors[i * DIM] += (float)i; /* all rows distinct */

    orvane_builder_handle* builder = orvane_builder_create(
        "{\"index.type\": \"demo\", \"index.dimension\": 8}", err, sizeof err);
    if (builder == NULL) return fail("create builder", err);
    if (orvane_builder_pretrain(builder, vectors, COUNT, 0, err, sizeof err) != 0 ||
        orvane_builder_insert(builder, vectors, NULL, COUNT, DIM, err, sizeof err) != 0 ||
        orvane_builder_dump(builder, path, err, sizeof err) != 0) {
        orvane_builder_destroy(builder);
        return fail("build", err);
    }
    orvane_builder_destroy(builder);

    orvane_searcher_handle* searcher = orvane_searcher_create(
        "{\"index.type\": \"demo\", \"index.dimension\": 8}", err, sizeof err);
    if (searcher == NULL) return fail("create searcher", err);
    if (orvane_searcher_open(searcher, path, err, sizeof err) != 0 ||
        orvane_searcher_search(searcher, vectors, COUNT, TOPK, distances, ids, NULL, err,
                               sizeof err) != 0) {
        orvane_searcher_destroy(searcher);
        return fail("search", err);
    }
    orvane_searcher_destroy(searcher);
    remove(path);
    for (i = 0; i < COUNT; ++i) {
        if (ids[i * TOPK] != (uint64_t)i) {
            fprintf(stderr, "query %d found %llu first\n", i, (unsigned long long)ids[i * TOPK]);
            return 1;
        }
    }
    printf("%d vectors found themselves first through the C interface\n", COUNT);
    return 0;
}
