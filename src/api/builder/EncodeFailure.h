// EncodeFailure: the status a builder returns when its trainer's EncodeBatch
// fails. The builder's own text stays first (callers match on it); when the
// encoding could not run because its worker threads could not be started (a
// thread limit, say), the reason is appended after ": ", so the caller learns
// why and not only that. Other causes are logged by the trainer itself.
#pragma once

#include <string>
#include <string_view>

#include "orvane/core/ErrorCode.h"
#include "orvane/core/Status.h"
#include "util/ExecutorManager.h"

namespace orvane::api {

inline core::Status EncodeFailure(core::ErrorCode status, std::string_view text,
                                  core::ErrorCode cause) {
    std::string message(text);
    if (cause == core::ErrorCode::Unavailable) {
        const std::string reason =
            util::ExecutorManager::Instance().RefusalReason(util::ExecutorPurpose::Compute);
        if (!reason.empty()) message += ": " + reason;
    }
    return core::Status(status, std::move(message));
}

}  // namespace orvane::api
