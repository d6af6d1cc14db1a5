// What the module tells about itself: the start line and the About dialog show these.
#pragma once

inline constexpr const char* OGX_PRODUCT_NAME = "Orogenix";
inline constexpr const char* OGX_VERSION = "1.1.0";
inline constexpr const char* OGX_BRANCH = "master";
inline constexpr const char* OGX_REVISION = "051ccf5";
inline constexpr const char* OGX_BUILD_TIME = "2021-03-10 15:18:55 +0100";
