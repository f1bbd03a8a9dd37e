#pragma once

#include <exception>
#include <string>

// Root of every exception the program raises. Several user-visible messages quote the
// class name, hence ClassName(); subclasses override it with their own name.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}

    const std::string& Message() const noexcept { return message_; }
    void SetMessage(std::string message) { message_ = std::move(message); }
    virtual const char* ClassName() const noexcept { return "Exception"; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Declares an exception class deriving from Base whose ClassName() is its own name.
#define POSTLARK_DECLARE_EXCEPTION(Name, Base)                                                   \
    class Name : public Base {                                                                     \
    public:                                                                                        \
        using Base::Base;                                                                          \
        const char* ClassName() const noexcept override { return #Name; }                          \
    }

// Raised by streams when reading, writing or seeking fails.
POSTLARK_DECLARE_EXCEPTION(EStreamError, Exception);
