#include "ui/ApplicationErrors.h"

#include "ui/Exceptions.h"

#include <cstdio>

namespace {

TEscapedExceptionHandler& Handler() {
    static TEscapedExceptionHandler handler;
    return handler;
}

void WriteToStandardError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "postlark: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "postlark: unknown exception\n");
    }
}

} // namespace

void SetEscapedExceptionHandler(TEscapedExceptionHandler handler) { Handler() = std::move(handler); }

void HandleEscapedException(std::exception_ptr error) {
    try {
        if (Handler())
            Handler()(error);
        else
            WriteToStandardError(error);
    } catch (...) {
        // A failing error handler must not take the event loop down with it.
    }
}
