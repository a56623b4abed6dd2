#include "app/app_icon_file.h"

#include "app/app_icon.h"

namespace vl {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// BITMAPINFOHEADER (height doubled for the mask), BGRA rows bottom-up, then
// the all-clear AND mask (alpha does the work), rows padded to 32 bits.
std::vector<std::uint8_t> iconImage(int size) {
  const std::vector<std::uint8_t> rgba = appIconRgba(size);
  std::vector<std::uint8_t> out;
  put32(out, 40);
  put32(out, static_cast<std::uint32_t>(size));
  put32(out, static_cast<std::uint32_t>(size * 2));
  put16(out, 1);   // planes
  put16(out, 32);  // bits per pixel
  for (int i = 0; i < 6; ++i) put32(out, 0);  // BI_RGB, sizes and palette unused
  for (int y = size - 1; y >= 0; --y)
    for (int x = 0; x < size; ++x) {
      const std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * size + x) * 4];
      out.insert(out.end(), {p[2], p[1], p[0], p[3]});
    }
  const int maskRow = ((size + 31) / 32) * 4;
  out.insert(out.end(), static_cast<std::size_t>(maskRow) * size, 0);
  return out;
}

}  // namespace

std::vector<std::uint8_t> appIconFile() {
  std::vector<std::vector<std::uint8_t>> images;
  for (int size : kAppIconSizes) images.push_back(iconImage(size));
  const std::uint32_t count = static_cast<std::uint32_t>(images.size());
  std::vector<std::uint8_t> out;
  put16(out, 0);
  put16(out, 1);  // icon
  put16(out, count);
  std::uint32_t offset = 6 + 16 * count;
  for (std::size_t i = 0; i < images.size(); ++i) {
    const int size = kAppIconSizes[i];
    out.push_back(static_cast<std::uint8_t>(size));
    out.push_back(static_cast<std::uint8_t>(size));
    out.push_back(0);  // no palette
    out.push_back(0);
    put16(out, 1);
    put16(out, 32);
    put32(out, static_cast<std::uint32_t>(images[i].size()));
    put32(out, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& image : images) out.insert(out.end(), image.begin(), image.end());
  return out;
}

}  // namespace vl
