#pragma once

// The pairing QR code, rendered for the two places Parley shows it: a
// terminal (`parley pair`) and the control panel (SVG).

#include <string>
#include <string_view>
#include <vector>

#include "link/pairing.hpp"

namespace parley::link {

enum class QRCorrection { L, M, Q, H };

class QRCode {
 public:
  // Byte-mode QR code of the smallest version that fits. Throws
  // PairingError::qrRenderFailed when the message cannot be encoded.
  static QRCode encode(std::string_view message, QRCorrection level);

  int size() const { return size_; }
  int version() const { return version_; }
  bool isDark(int x, int y) const {
    return modules_[static_cast<std::size_t>(y) * static_cast<std::size_t>(size_) +
                    static_cast<std::size_t>(x)];
  }

  // Two module rows per line with the half-block characters. By default the
  // light modules are drawn (for the usual light-on-dark terminal, where the
  // background then forms the dark modules); `invert` draws the dark ones.
  // Lines end with "\n".
  std::string terminalText(int quietZone = 2, bool invert = false) const;
  // A standalone SVG document, one unit per module, black on white.
  std::string svg(int quietZone = 4) const;

 private:
  int size_ = 0;
  int version_ = 0;
  std::vector<bool> modules_;
};

namespace PairingQR {
// The QR code of the payload's web address: a phone's camera opens the page,
// which pairs from it.
QRCode image(const PairingPayload& payload, QRCorrection level = QRCorrection::M);
}  // namespace PairingQR

}  // namespace parley::link
