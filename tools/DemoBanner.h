#pragma once

#include <string>

// The demo server's sponsor banner: an animated GIF of 468 × 60 pixels in the program's colours,
// an envelope flying past the words "POSTLARK DEMO". Drawn and encoded here, so the demo needs
// no image files.
std::string DemoBannerGif();

// The demo sponsor's page that a click on the banner opens.
std::string DemoSponsorPage();
