// Errors as values: a result that holds either what was asked for or a short account of why not.
// Nothing is thrown across a folder's face; a failure travels back as an `Error` in an
// `ErrorOr`, and TRY hands it on from a function that returns one too.
//
//     ErrorOr<std::string> ReadName();
//     ErrorOr<void> Greet() { TRY_ASSIGN(std::string name, ReadName()); Log(name); return {}; }
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace tavolex {

// The outcome of work that can be stopped: the statuses the program's tasks end with.
enum class TaskStatus { Ok = 0, Cancelled = 1, Failed = 2 };

// What went wrong, in a few words for the log; a parser also says where (a byte offset into its
// input).
struct Error {
    static constexpr size_t kNoOffset = std::numeric_limits<size_t>::max();

    std::string message;
    size_t offset = kNoOffset;

    bool HasOffset() const { return offset != kNoOffset; }
};

template<class T>
class [[nodiscard]] ErrorOr {
public:
    ErrorOr(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    ErrorOr(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool HasError() const { return state_.index() == 1; }
    explicit operator bool() const { return !HasError(); }

    // Only when there is no error (an invariant of the caller's, checked by std::get).
    T& Value() & { return std::get<0>(state_); }
    const T& Value() const& { return std::get<0>(state_); }
    T ReleaseValue() && { return std::move(std::get<0>(state_)); }
    // Only when there is one.
    const Error& GetError() const { return std::get<1>(state_); }
    Error ReleaseError() && { return std::move(std::get<1>(state_)); }

private:
    std::variant<T, Error> state_;
};

template<>
class [[nodiscard]] ErrorOr<void> {
public:
    ErrorOr() = default;
    ErrorOr(Error error) : error_(std::move(error)) {}

    bool HasError() const { return error_.has_value(); }
    explicit operator bool() const { return !HasError(); }
    void ReleaseValue() && {}
    const Error& GetError() const { return *error_; }
    Error ReleaseError() && { return std::move(*error_); }

private:
    std::optional<Error> error_;
};

} // namespace tavolex

// Returns the error of `expression` (an ErrorOr) from the enclosing function, which returns an
// ErrorOr too; otherwise the value is dropped.
#define TRY(expression)                                                                      \
    do {                                                                                     \
        if (auto tryResult_ = (expression); tryResult_.HasError())                           \
            return std::move(tryResult_).ReleaseError();                                     \
    } while (false)

#define TAVOLEX_TRY_CONCAT_(a, b) a##b
#define TAVOLEX_TRY_NAME_(line) TAVOLEX_TRY_CONCAT_(tryResult_, line)
// Declares or assigns `target` from the value of `expression`, or returns its error as TRY does.
#define TRY_ASSIGN(target, expression) TAVOLEX_TRY_ASSIGN_(target, expression, TAVOLEX_TRY_NAME_(__LINE__))
#define TAVOLEX_TRY_ASSIGN_(target, expression, result)                                      \
    auto result = (expression);                                                              \
    if (result.HasError())                                                                   \
        return std::move(result).ReleaseError();                                             \
    target = std::move(result).ReleaseValue()
