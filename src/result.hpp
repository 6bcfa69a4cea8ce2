// Result<T>: a value or one error message. Member names follow std::expected so the
// type can be swapped for it once every compiler we build with provides it.
//
// Passing a failure on to the caller:
//   VFT_TRY(auto title, required_text(args, "title", 160)); // title is the value
//   VFT_TRY(in.title, required_text(args, "title", 160));   // or assigned to what exists
//   VFT_TRY_VOID(date_rule(text));                          // a Result<void>, or a value not
//   needed
// Both return the failure's message from the enclosing function, which returns some Result.
// VFT_TRY declares in the enclosing block, so it cannot stand alone as the body of an if.
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

// Drops a failure on purpose: for a step whose failure leaves nothing to undo or report.
// Say at the call why that is so.
template <class T> void ignore_failure(const Result<T> &) {}

} // namespace vft

#define VFT_TRY_CONCAT_(a, b) a##b
#define VFT_TRY_NAME_(line) VFT_TRY_CONCAT_(vft_try_, line)

#define VFT_TRY(declaration, expression)                                                           \
  auto VFT_TRY_NAME_(__LINE__) = (expression);                                                     \
  if (!VFT_TRY_NAME_(__LINE__)) return ::vft::fail(VFT_TRY_NAME_(__LINE__).error());               \
  declaration = std::move(VFT_TRY_NAME_(__LINE__)).value()

#define VFT_TRY_VOID(expression)                                                                   \
  do {                                                                                             \
    if (auto vft_try_ = (expression); !vft_try_) return ::vft::fail(vft_try_.error());             \
  } while (false)
