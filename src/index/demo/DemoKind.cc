#include "index/demo/DemoKind.h"

#include "index/demo/DemoIndexMeta.h"
#include "index/demo/DemoOptions.h"

namespace orvane::index::demo {
namespace {

constexpr OptionPair kDemoBuildOptions[] = {{"distance.metric", "l2"}};

}  // namespace

constinit const IndexKindDescriptor kDemoKind{
    &kSchemas,
    &CreateDemoBuilderBackend,
    &CreateDemoSearcherBackend,
    kMetaSection,
    &DecodeCountDimensionMeta<DemoIndexMeta>,
    kDemoBuildOptions,
    {},
    /*storesIds=*/false,
};

}  // namespace orvane::index::demo
