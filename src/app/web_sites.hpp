#pragma once

// The two web faces, embedded from web/phone and web/panel at build time.

#include <span>

#include "link/static_site.hpp"

namespace parley::web {

std::span<const link::WebFile> phoneSite();
std::span<const link::WebFile> panelSite();

}  // namespace parley::web
