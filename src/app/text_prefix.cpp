#include "app/text_prefix.hpp"

#include "narration/unicode_text.hpp"

namespace parley::app {

std::string characterPrefix(std::string_view text, std::size_t count) {
  return std::string(narration::unicode::graphemePrefix(text, count));
}

}  // namespace parley::app
