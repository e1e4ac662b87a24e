// The program's one error type. Every failure is thrown as an Exception whose
// message is complete when thrown; only the process entry prints it.
#pragma once

#include <exception>
#include <string>
#include <utility>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    ~Exception() override = default;
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};
