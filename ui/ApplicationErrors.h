#pragma once

#include <exception>
#include <functional>

// What happens to an exception that escapes an event handler: the toolkit's default handler.
// Qt must never see an exception, so every dispatch point catches and hands it here. The
// default writes the message to standard error; the application installs one that shows it
// in a message box. The program goes on either way.
using TEscapedExceptionHandler = std::function<void(std::exception_ptr)>;

void SetEscapedExceptionHandler(TEscapedExceptionHandler handler);
void HandleEscapedException(std::exception_ptr error);
