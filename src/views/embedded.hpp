// The assembled view documents, generated from src/views/ by cmake/embed_views.cmake.
#pragma once

#include <string_view>

namespace vft::views::embedded {

extern const std::string_view bills;
extern const std::string_view inventory;
extern const std::string_view media;
extern const std::string_view studio;

} // namespace vft::views::embedded
