// ISearchExtension: an optional behaviour a caller attaches to an opened
// searcher; back ends recognise it by Name() and accept or refuse it.
#pragma once

#include <string_view>

#include "orvane/core/NoCopyable.h"

namespace orvane::api {

class ISearchExtension : public core::NoCopyable {
  public:
    virtual ~ISearchExtension() = default;
    virtual std::string_view Name() const = 0;
};

}  // namespace orvane::api
