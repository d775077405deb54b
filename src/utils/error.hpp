// The library's one error type and the value-or-error result every fallible
// operation returns. Nothing in the core throws for bad input.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace skarvo::util {

/// Error kinds, in their declared order (the order is part of the interface).
enum class ErrorKind : std::uint8_t {
    Io,
    RinexParse,
    UnsupportedVersion,
    InvalidHeader,
    MissingHeaderField,
    Sp3Parse,
    NavigationFile,
    InvalidEpoch,
    InvalidSatellite,
    InvalidObservationCode,
    InvalidSystem,
    InsufficientData,
    Computation,
    ConvergenceFailure,
    FileNotFound,
    InvalidFileFormat,
    Configuration,
    Plotting,
    CoordinateTransform,
    Download,
    Serialization,
    TimeScale,
    SatelliteNotFound,
    InvalidFrequencyBand,
    CycleSlipDetected,
    Other,
};

inline constexpr int error_kind_count = 26;

/// A tagged error value. Each kind uses the fields its message needs:
/// `number` (line or iteration count), `text`, `text2` (second text field)
/// and `character` (InvalidSystem).
class GnssError {
public:
    GnssError(ErrorKind kind, std::string text = {}, std::uint64_t number = 0,
              std::string text2 = {}, char32_t character = 0)
        : kind_(kind), number_(number), text_(std::move(text)), text2_(std::move(text2)),
          character_(character) {}

    /// I/O error with the operating system's text for `errnum`, e.g.
    /// "No such file or directory (os error 2)".
    static GnssError from_errno(int errnum);
    /// I/O error with a text of our own (e.g. "stream did not contain valid UTF-8").
    static GnssError io(std::string text) { return {ErrorKind::Io, std::move(text)}; }
    static GnssError rinex_parse(std::uint64_t line, std::string message) {
        return {ErrorKind::RinexParse, std::move(message), line};
    }
    static GnssError sp3_parse(std::uint64_t line, std::string message) {
        return {ErrorKind::Sp3Parse, std::move(message), line};
    }
    static GnssError convergence_failure(std::uint64_t iterations, std::string message) {
        return {ErrorKind::ConvergenceFailure, std::move(message), iterations};
    }
    static GnssError invalid_file_format(std::string expected, std::string found) {
        return {ErrorKind::InvalidFileFormat, std::move(expected), 0, std::move(found)};
    }
    static GnssError satellite_not_found(std::string satellite, std::string epoch) {
        return {ErrorKind::SatelliteNotFound, std::move(satellite), 0, std::move(epoch)};
    }
    static GnssError cycle_slip_detected(std::string satellite, std::string epoch) {
        return {ErrorKind::CycleSlipDetected, std::move(satellite), 0, std::move(epoch)};
    }
    static GnssError invalid_system(char32_t c) { return {ErrorKind::InvalidSystem, {}, 0, {}, c}; }

    ErrorKind kind() const noexcept { return kind_; }
    std::uint64_t number() const noexcept { return number_; }
    const std::string& text() const noexcept { return text_; }
    const std::string& text2() const noexcept { return text2_; }

    /// The rendered message, e.g. "RINEX parsing error at line 12: Epoch line too short".
    std::string message() const;

private:
    ErrorKind kind_;
    std::uint64_t number_;
    std::string text_;
    std::string text2_;
    char32_t character_;
};

/// The value of a fallible operation, or the error that stopped it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(GnssError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &std::get<0>(v_); }
    const T* operator->() const { return &std::get<0>(v_); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const GnssError& error() const& { return std::get<1>(v_); }
    GnssError&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, GnssError> v_;
};

/// Result of an operation that yields nothing on success.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace skarvo::util
