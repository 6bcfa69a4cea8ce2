// Result<T>: a value or one error message. Member names follow std::expected so the
// type can be swapped for it once every compiler we build with provides it.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vft {

struct Failure {
  std::string message;
};

inline Failure fail(std::string message) { return Failure{std::move(message)}; }

template <class T> class [[nodiscard]] Result {
public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure.message)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T &value() & { return std::get<0>(state_); }
  const T &value() const & { return std::get<0>(state_); }
  T &&value() && { return std::get<0>(std::move(state_)); }
  T &operator*() & { return value(); }
  const T &operator*() const & { return value(); }
  T *operator->() { return &value(); }
  const T *operator->() const { return &value(); }
  const std::string &error() const { return std::get<1>(state_); }

private:
  std::variant<T, std::string> state_;
};

template <> class [[nodiscard]] Result<void> {
public:
  Result() = default;
  Result(Failure failure) : failed_(true), message_(std::move(failure.message)) {}

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  const std::string &error() const { return message_; }

private:
  bool failed_ = false;
  std::string message_;
};

} // namespace vft
