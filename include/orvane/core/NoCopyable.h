// Base classes that forbid copying (NoCopyable) or copying and moving (NoMoveable).
#pragma once

namespace orvane::core {

class NoCopyable {
  public:
    NoCopyable() = default;
    NoCopyable(const NoCopyable&) = delete;
    NoCopyable& operator=(const NoCopyable&) = delete;
    NoCopyable(NoCopyable&&) = default;
    NoCopyable& operator=(NoCopyable&&) = default;

  protected:
    ~NoCopyable() = default;
};

class NoMoveable {
  public:
    NoMoveable() = default;
    NoMoveable(const NoMoveable&) = delete;
    NoMoveable& operator=(const NoMoveable&) = delete;
    NoMoveable(NoMoveable&&) = delete;
    NoMoveable& operator=(NoMoveable&&) = delete;

  protected:
    ~NoMoveable() = default;
};

}  // namespace orvane::core
