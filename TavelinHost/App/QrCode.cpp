#include "TavelinHost/App/QrCode.hpp"

#include <qrencode.h>

#include <optional>
#include <vector>

namespace tavelin {

namespace {

struct QrModules {
  int width = 0;
  std::vector<bool> dark;
};

std::optional<QrModules> encodeQr(const std::string& utf8) {
  QRcode* code =
      QRcode_encodeData(static_cast<int>(utf8.size()),
                        reinterpret_cast<const unsigned char*>(utf8.data()), 0, QR_ECLEVEL_H);
  if (code == nullptr) return std::nullopt;
  constexpr int quiet = 4;
  QrModules modules;
  modules.width = code->width + 2 * quiet;
  modules.dark.assign(static_cast<std::size_t>(modules.width * modules.width), false);
  for (int y = 0; y < code->width; ++y) {
    for (int x = 0; x < code->width; ++x) {
      modules.dark[static_cast<std::size_t>((y + quiet) * modules.width + x + quiet)] =
          (code->data[y * code->width + x] & 1) != 0;
    }
  }
  QRcode_free(code);
  return modules;
}

}  // namespace

QImage makeQrImage(const QString& content, int scale) {
  const auto modules = encodeQr(content.toStdString());
  if (!modules || scale < 1) return {};
  QImage image(modules->width * scale, modules->width * scale, QImage::Format_Grayscale8);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = image.scanLine(y);
    for (int x = 0; x < image.width(); ++x) {
      line[x] = modules->dark[static_cast<std::size_t>((y / scale) * modules->width + x / scale)]
                    ? 0
                    : 255;
    }
  }
  return image;
}

std::string terminalQrCode(const std::string& content) {
  const auto modules = encodeQr(content);
  if (!modules) return {};
  auto dark = [&](int x, int y) {
    return y < modules->width && modules->dark[static_cast<std::size_t>(y * modules->width + x)];
  };
  std::string art;
  for (int y = 0; y < modules->width; y += 2) {
    for (int x = 0; x < modules->width; ++x) {
      const bool top = dark(x, y), bottom = dark(x, y + 1);
      // Light modules are drawn, dark ones left blank: readable on dark terminals, where
      // scanners expect dark modules on light ground once the colours are inverted back.
      art += !top && !bottom ? "\u2588" : !top ? "\u2580" : !bottom ? "\u2584" : " ";
    }
    art += '\n';
  }
  return art;
}

}  // namespace tavelin
