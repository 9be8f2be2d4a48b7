// Operation tags of the distance and encoding layer. Each operation is an
// overload of the free function TagInvoke selected by one of these empty types
// together with MetricT<M> and, for encode spaces, EncodingT<E>.
#pragma once

namespace orvane::dist {

// Distance between two float vectors.
struct EvalTag {};
// Distance between one query and each row of a contiguous block of vectors.
struct BatchEvalTag {};
// Turns a query into the form an encode space scores against many rows.
struct PrepareTag {};
// Score of a prepared query against one encoded row.
struct EvalEncodedTag {};
// Scores of a prepared query against every row of an encoded batch.
struct BatchEvalEncodedTag {};

}  // namespace orvane::dist
