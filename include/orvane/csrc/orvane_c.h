/*
 * orvane_c.h: the C interface of liborvane_py, for hosts that load the library
 * through a C foreign-function layer.
 *
 * Options are one flat JSON object whose values are all taken as text, e.g.
 *   {"index.type": "demo", "index.dimension": 128}
 * Nested objects, arrays and escape sequences are not understood.
 *
 * Every function that can fail returns 0 on success and -1 on failure (or a
 * null handle) and copies the failure's message into the caller's buffer
 * `err` of `err_len` bytes: at most err_len-1 characters, always terminated
 * with a zero byte. A null buffer or a length of 0 or less receives nothing.
 * Arrays are owned by the caller and only read (or, for outputs, written)
 * during the call.
 */
#ifndef ORVANE_CSRC_ORVANE_C_H_
#define ORVANE_CSRC_ORVANE_C_H_

#include <stdint.h>

#if defined(__GNUC__)
#define ORVANE_C_API __attribute__((visibility("default")))
#else
#define ORVANE_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handles; free them with the matching destroy function. */
typedef struct orvane_builder_handle orvane_builder_handle;
typedef struct orvane_searcher_handle orvane_searcher_handle;

/* Creates a builder from builder options; null on failure. File IO keys among the
 * options (io.*) are kept for dump. */
ORVANE_C_API orvane_builder_handle* orvane_builder_create(const char* options_json, char* err,
                                                          int err_len);
/* Frees a builder; a null handle is ignored. */
ORVANE_C_API void orvane_builder_destroy(orvane_builder_handle* builder);
/* Trains on n sample vectors (n * index.dimension floats). Must be called once
 * before insert, also for kinds that need no training. `unused` is ignored. */
ORVANE_C_API int orvane_builder_pretrain(orvane_builder_handle* builder, const float* data,
                                         uint64_t n, int unused, char* err, int err_len);
/* Inserts all n vectors of dimension dim at once; ids may be null, in which
 * case the rows get the ids 0 .. n-1. */
ORVANE_C_API int orvane_builder_insert(orvane_builder_handle* builder, const float* data,
                                       const uint64_t* ids, uint64_t n, int dim, char* err,
                                       int err_len);
/* Writes the index file to path. */
ORVANE_C_API int orvane_builder_dump(orvane_builder_handle* builder, const char* path, char* err,
                                     int err_len);

/* Creates a searcher from searcher options; null on failure. File IO keys among
 * the options (io.reader.type, io.verify_crc, ...) are kept for open. */
ORVANE_C_API orvane_searcher_handle* orvane_searcher_create(const char* options_json, char* err,
                                                            int err_len);
/* Closes and frees a searcher; a null handle is ignored. */
ORVANE_C_API void orvane_searcher_destroy(orvane_searcher_handle* searcher);
/* Opens the index file at path. */
ORVANE_C_API int orvane_searcher_open(orvane_searcher_handle* searcher, const char* path, char* err,
                                      int err_len);
/* Number of indexed vectors; 0 for a null handle or before open. */
ORVANE_C_API uint64_t orvane_searcher_get_count(orvane_searcher_handle* searcher);
/* Vector dimension as the index kind reports it (some kinds report the
 * configured dimension before open); 0 for a null handle. */
ORVANE_C_API uint32_t orvane_searcher_get_dimension(orvane_searcher_handle* searcher);
/* Answers n_queries queries (each get_dimension floats, one after another).
 * out_distances and out_ids must hold n_queries * topk entries; row i holds
 * query i's hits best first, padded with distance 0.0 and id UINT64_MAX.
 * options_json may be null; topk overrides any search.topk in it. */
ORVANE_C_API int orvane_searcher_search(orvane_searcher_handle* searcher, const float* queries,
                                        int n_queries, int topk, float* out_distances,
                                        uint64_t* out_ids, const char* options_json, char* err,
                                        int err_len);
/* As orvane_searcher_search, but only rows whose id is among the filter_count
 * ids at filter_ids may be returned. Needs an index kind that supports
 * filtering; others fail with "extension not attached". */
ORVANE_C_API int orvane_searcher_search_with_filter(orvane_searcher_handle* searcher,
                                                    const float* queries, int n_queries, int topk,
                                                    float* out_distances, uint64_t* out_ids,
                                                    const uint64_t* filter_ids,
                                                    uint64_t filter_count, const char* options_json,
                                                    char* err, int err_len);

/* Sends the library's log lines to standard error (instead of standard output)
 * from now on, at the given level and above: "trace", "debug", "info", "warn",
 * "error", or "off" for none. Process-wide. The first call replaces the log's
 * destination, so make it before other threads use the library. */
ORVANE_C_API int orvane_set_log_level(const char* level, char* err, int err_len);

/* Refuses option keys the schema does not know, which the library would only log
 * and ignore: purpose is "builder", "searcher" (both also accept the file IO keys
 * index.path and io.*) or "search"; index_type names the kind. Fails with
 * "Unknown option key: KEY (the demo builder knows: ...)". */
ORVANE_C_API int orvane_check_option_keys(const char* purpose, const char* index_type,
                                          const char* options_json, char* err, int err_len);

/* The library's version, "MAJOR.MINOR.PATCH"; a static string. */
ORVANE_C_API const char* orvane_version(void);

/* Frees a buffer or text returned by this library (describe, dump_buffer). */
ORVANE_C_API void orvane_free(void* p);

/* What the index file at path holds, as one JSON object: kind, rows, dim, metric,
 * encoding, pq_chunks, opq, params (the kind's own, as texts), format_version,
 * file_size, ids_stored, sections. The file is checked as orvane_searcher_open
 * checks it and refused with the same message. io_json (may be null) holds io.*
 * keys such as io.reader.type. Returns a text to free with orvane_free, or null. */
ORVANE_C_API char* orvane_describe(const char* path, const char* io_json, char* err, int err_len);
/* As orvane_describe, for an index file image of size bytes at data. */
ORVANE_C_API char* orvane_describe_buffer(const void* data, uint64_t size, const char* io_json,
                                          char* err, int err_len);

/* The machine's hardware threads (at least 1). */
ORVANE_C_API unsigned orvane_hardware_threads(void);
/* The build thread count keys of a kind's builder options, comma-separated
 * (empty for a kind without any); free with orvane_free. The C interface leaves
 * them at the library's default of 1; a host may set them to
 * orvane_hardware_threads(). */
ORVANE_C_API char* orvane_build_thread_keys(const char* index_type, char* err, int err_len);

/* Instead of orvane_builder_dump: writes the index file image into a new buffer,
 * stored in *out_data (free with orvane_free) with its length in *out_size. */
ORVANE_C_API int orvane_builder_dump_buffer(orvane_builder_handle* builder, char** out_data,
                                            uint64_t* out_size, char* err, int err_len);
/* Instead of orvane_searcher_open: opens an index file image of size bytes; the
 * bytes are copied, so the caller's buffer may be freed at once. */
ORVANE_C_API int orvane_searcher_open_buffer(orvane_searcher_handle* searcher, const void* data,
                                             uint64_t size, char* err, int err_len);

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_CSRC_ORVANE_C_H_ */
