#include "distance/MetricE.h"

namespace orvane::dist {

const char* MetricName(MetricE metric) {
    switch (metric) {
        case MetricE::l2:
            return MetricT<MetricE::l2>::Name;
        case MetricE::ip:
            return MetricT<MetricE::ip>::Name;
        case MetricE::cosine:
            return MetricT<MetricE::cosine>::Name;
        case MetricE::dummy:
            break;
    }
    return MetricT<MetricE::dummy>::Name;
}

MetricE ParseMetric(std::string_view name) {
    for (MetricE m : {MetricE::l2, MetricE::ip, MetricE::cosine}) {
        if (name == MetricName(m)) return m;
    }
    return MetricE::dummy;
}

bool LowerIsBetter(MetricE metric) {
    switch (metric) {
        case MetricE::l2:
            return MetricT<MetricE::l2>::LowerIsBetter;
        case MetricE::ip:
            return MetricT<MetricE::ip>::LowerIsBetter;
        case MetricE::cosine:
            return MetricT<MetricE::cosine>::LowerIsBetter;
        case MetricE::dummy:
            break;
    }
    return false;
}

}  // namespace orvane::dist
