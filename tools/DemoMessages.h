#pragma once

#include <string>
#include <vector>

// The sample messages the demo mail server serves: plain text, quoted-printable, multipart
// with attachments, and one with a line far longer than a screen. Lines end with CR LF.
std::vector<std::string> DemoMessages();
