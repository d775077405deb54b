#include "rinex/types.hpp"

namespace skarvo::rinex {

std::string RinexVersion::text() const {
    std::string s = std::to_string(major);
    s += '.';
    if (minor < 10) s += '0';
    s += std::to_string(minor);
    return s;
}

}  // namespace skarvo::rinex
