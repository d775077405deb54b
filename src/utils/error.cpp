#include "utils/error.hpp"

#include <cstring>
#include <string.h>

#include "utils/text.hpp"

namespace skarvo::util {

GnssError GnssError::from_errno(int errnum) {
    // strerrordesc_np gives the untranslated text, so messages do not depend
    // on the process locale.
    const char* desc = ::strerrordesc_np(errnum);
    std::string text = desc ? desc : "Unknown error";
    text += " (os error ";
    text += std::to_string(errnum);
    text += ')';
    return io(std::move(text));
}

std::string GnssError::message() const {
    const std::string num = std::to_string(number_);
    switch (kind_) {
        case ErrorKind::Io: return "I/O error: " + text_;
        case ErrorKind::RinexParse: return "RINEX parsing error at line " + num + ": " + text_;
        case ErrorKind::UnsupportedVersion: return "Unsupported RINEX version: " + text_;
        case ErrorKind::InvalidHeader: return "Invalid RINEX header: " + text_;
        case ErrorKind::MissingHeaderField: return "Missing required header field: " + text_;
        case ErrorKind::Sp3Parse: return "SP3 parsing error at line " + num + ": " + text_;
        case ErrorKind::NavigationFile: return "Navigation file error: " + text_;
        case ErrorKind::InvalidEpoch: return "Invalid epoch format: " + text_;
        case ErrorKind::InvalidSatellite: return "Invalid satellite identifier: " + text_;
        case ErrorKind::InvalidObservationCode: return "Invalid observation code: " + text_;
        case ErrorKind::InvalidSystem: {
            std::string s = "Invalid GNSS system: ";
            append_utf8(s, character_);
            return s;
        }
        case ErrorKind::InsufficientData: return "Insufficient data: " + text_;
        case ErrorKind::Computation: return "Computation error: " + text_;
        case ErrorKind::ConvergenceFailure:
            return "Failed to converge after " + num + " iterations: " + text_;
        case ErrorKind::FileNotFound: return "File not found: " + text_;
        case ErrorKind::InvalidFileFormat:
            return "Invalid file format: expected " + text_ + ", got " + text2_;
        case ErrorKind::Configuration: return "Configuration error: " + text_;
        case ErrorKind::Plotting: return "R plotting error: " + text_;
        case ErrorKind::CoordinateTransform: return "Coordinate transformation error: " + text_;
        case ErrorKind::Download: return "Download error: " + text_;
        case ErrorKind::Serialization: return "Serialization error: " + text_;
        case ErrorKind::TimeScale: return "Time scale error: " + text_;
        case ErrorKind::SatelliteNotFound:
            return "Satellite " + text_ + " not found in ephemeris at epoch " + text2_;
        case ErrorKind::InvalidFrequencyBand: return "Invalid frequency band: " + text_;
        case ErrorKind::CycleSlipDetected:
            return "Cycle slip detected for " + text_ + " at epoch " + text2_;
        case ErrorKind::Other: return text_;
    }
    return text_;
}

}  // namespace skarvo::util
