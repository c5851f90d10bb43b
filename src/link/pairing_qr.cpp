#include "link/pairing_qr.hpp"

#include <qrencode.h>

#include <memory>

namespace parley::link {

QRCode QRCode::encode(std::string_view message, QRCorrection level) {
  static constexpr QRecLevel kLevels[] = {QR_ECLEVEL_L, QR_ECLEVEL_M, QR_ECLEVEL_Q, QR_ECLEVEL_H};
  const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
      QRcode_encodeData(static_cast<int>(message.size()),
                        reinterpret_cast<const unsigned char*>(message.data()), 0,
                        kLevels[static_cast<int>(level)]),
      &QRcode_free);
  if (!code || code->width <= 0)
    throw PairingError::qrRenderFailed();
  QRCode out;
  out.size_ = code->width;
  out.version_ = code->version;
  out.modules_.resize(static_cast<std::size_t>(code->width) * code->width);
  for (std::size_t i = 0; i < out.modules_.size(); ++i)
    out.modules_[i] = (code->data[i] & 1) != 0;  // bit 0: dark module
  return out;
}

std::string QRCode::terminalText(int quietZone, bool invert) const {
  const int total = size_ + 2 * quietZone;
  // Quiet-zone modules are light.
  auto drawn = [&](int x, int y) {
    const int mx = x - quietZone;
    const int my = y - quietZone;
    const bool dark = mx >= 0 && my >= 0 && mx < size_ && my < size_ && isDark(mx, my);
    return dark == invert;
  };
  std::string out;
  for (int y = 0; y < total; y += 2) {
    for (int x = 0; x < total; ++x) {
      const bool top = drawn(x, y);
      const bool bottom = y + 1 < total && drawn(x, y + 1);
      out += top ? (bottom ? "\u2588" : "\u2580") : (bottom ? "\u2584" : " ");
    }
    out += '\n';
  }
  return out;
}

std::string QRCode::svg(int quietZone) const {
  const int total = size_ + 2 * quietZone;
  const std::string side = std::to_string(total);
  std::string path;
  // One horizontal run per stretch of dark modules keeps the document small.
  for (int y = 0; y < size_; ++y) {
    for (int x = 0; x < size_;) {
      if (!isDark(x, y)) {
        ++x;
        continue;
      }
      int run = 0;
      while (x + run < size_ && isDark(x + run, y))
        ++run;
      path.append("M").append(std::to_string(x + quietZone));
      path.append(" ").append(std::to_string(y + quietZone));
      path.append("h").append(std::to_string(run));
      path.append("v1h-").append(std::to_string(run)).append("z");
      x += run;
    }
  }
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + side + " " + side +
         "\" shape-rendering=\"crispEdges\"><rect width=\"" + side + "\" height=\"" + side +
         "\" fill=\"#fff\"/><path fill=\"#000\" d=\"" + path + "\"/></svg>\n";
}

QRCode PairingQR::image(const PairingPayload& payload, QRCorrection level) {
  return QRCode::encode(payload.webAddress(), level);
}

}  // namespace parley::link
