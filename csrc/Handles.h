// The C interface's opaque handles, shared by the files of liborvane_py that
// implement its functions. Internal to liborvane_py.
#pragma once

#include <memory>
#include <string>

#include "orvane/api/OrvaneBuilder.h"
#include "orvane/api/OrvaneSearcher.h"
#include "JsonOptionMap.h"
#include "orvane/extensions/SearchWithFilterExtension.h"

#pragma GCC visibility push(hidden)

struct orvane_builder_handle {
    std::unique_ptr<orvane::api::OrvaneBuilder> builder;
    orvane::csrc::StringMap options;
    orvane::csrc::StringMap ioOptions;  // the io.* keys of the options, used by dump
};

struct orvane_searcher_handle {
    std::unique_ptr<orvane::api::OrvaneSearcher> searcher;
    orvane::extensions::SearchWithFilterExtension filterExtension;
    orvane::csrc::StringMap options;
    std::string indexType;
    orvane::csrc::StringMap ioOptions;  // the io.* keys of the options, used by open
};

#pragma GCC visibility pop
