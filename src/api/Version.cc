#include "orvane/api/Version.h"

#ifndef ORVANE_VERSION_STRING
#error "the build defines ORVANE_VERSION_STRING from the project version"
#endif

namespace orvane::api {

const char* Version() {
    return ORVANE_VERSION_STRING;
}

}  // namespace orvane::api
