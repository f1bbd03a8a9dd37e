#pragma once

#include "app/SponsorBanner.h"

// Downloads of the banner image through the program's HTTP client: one client per download,
// asynchronous, within the client's time limit, the body kept in memory up to maxBytes.
TBannerFetcher HttpBannerFetcher();
