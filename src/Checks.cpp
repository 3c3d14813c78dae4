#include "Checks.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace velmora::checks {

void reject(std::string_view what, std::string_view rule) {
    std::string message;
    message.reserve(what.size() + rule.size() + 8);
    message.append(what).append(" must ").append(rule).append(".");
    throw std::invalid_argument(message);
}

void require_positive(double value, std::string_view what) {
    if (!(std::isfinite(value) && value > 0.0)) {
        reject(what, "be a finite number greater than zero");
    }
}

void require_grid_step(double value, std::string_view what) {
    if (!(std::isfinite(value) && value > 0.0)) {
        reject(what, "be finite and greater than zero");
    }
}

void require_finite(double value, std::string_view what) {
    if (!std::isfinite(value)) {
        reject(what, "be finite");
    }
}

void require_deviation(double value, std::string_view what) {
    if (!(std::isfinite(value) && value >= 0.0)) {
        reject(what, "be a finite number not below zero");
    }
}

} // namespace velmora::checks
