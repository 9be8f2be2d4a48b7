#include "index/bruteforce/BruteforceKind.h"

#include "index/bruteforce/BruteforceIndexMeta.h"
#include "index/bruteforce/BruteforceOptions.h"

namespace orvane::index::bruteforce {
namespace {

// The exact reference: raw vectors under L2.
constexpr OptionPair kDemoBuildOptions[] = {{"distance.metric", "l2"}, {"encoding.type", "rawf32"}};

}  // namespace

constinit const IndexKindDescriptor kBruteforceKind{
    &kSchemas,
    &CreateBruteforceBuilderBackend,
    &CreateBruteforceSearcherBackend,
    kIndexMetaName,
    &DecodeCountDimensionMeta<BruteforceIndexMeta>,
    kDemoBuildOptions,
    {},
};

}  // namespace orvane::index::bruteforce
