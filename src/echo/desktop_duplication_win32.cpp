// Desktop duplication after Microsoft's documented flow: a Direct3D 11
// device on the adapter the output belongs to, IDXGIOutput1::DuplicateOutput,
// then per frame AcquireNextFrame without waiting, a copy of the rectangle
// into a staging texture, ReleaseFrame at once, Map to read the rows. The
// staging texture keeps the last picture, so a pass without a new desktop
// frame reads the previous one.
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <cstring>

#include "echo/desktop_duplication_win32.h"
#include "log/helpers.h"

namespace vl::detail {

using Microsoft::WRL::ComPtr;

namespace {

std::string comFailure(const char* call, HRESULT hr) {
  return formatString("%s（0x%08X）", call, static_cast<unsigned>(hr));
}

bool overlaps(const RECT& a, const RECT& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

bool contains(const RECT& outer, const RECT& inner) {
  return outer.left <= inner.left && outer.top <= inner.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

}  // namespace

struct DesktopDuplication::State {
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ComPtr<IDXGIOutput1> output;
  ComPtr<IDXGIOutputDuplication> duplication;
  ComPtr<ID3D11Texture2D> staging;
  D3D11_BOX box{};  // the rectangle in output coordinates
  LONG outputWidth = 0;
  LONG outputHeight = 0;
  bool havePicture = false;

  bool duplicate(std::string& reason) {
    duplication.Reset();
    const HRESULT hr = output->DuplicateOutput(device.Get(), duplication.GetAddressOf());
    if (FAILED(hr)) {
      reason = comFailure("DuplicateOutput", hr);
      return false;
    }
    DXGI_OUTDUPL_DESC desc{};
    duplication->GetDesc(&desc);
    // A desktop of another size than the output's rectangle means scaled
    // coordinates or a mode change: the box would cut the wrong part.
    if (desc.ModeDesc.Format != DXGI_FORMAT_B8G8R8A8_UNORM || static_cast<LONG>(desc.ModeDesc.Width) != outputWidth ||
        static_cast<LONG>(desc.ModeDesc.Height) != outputHeight) {
      reason = formatString("桌面图像 %ux%u 格式 %u 不合用", desc.ModeDesc.Width, desc.ModeDesc.Height,
                            static_cast<unsigned>(desc.ModeDesc.Format));
      duplication.Reset();
      return false;
    }
    return true;
  }
};

DesktopDuplication::DesktopDuplication() = default;
DesktopDuplication::~DesktopDuplication() = default;

void DesktopDuplication::close() { state_.reset(); }

bool DesktopDuplication::open(const MonitorInfo& rect, std::string& reason) {
  close();
  ComPtr<IDXGIFactory1> factory;
  HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.GetAddressOf()));
  if (FAILED(hr)) {
    reason = comFailure("CreateDXGIFactory1", hr);
    return false;
  }
  const RECT wanted{rect.x, rect.y, rect.x + rect.width, rect.y + rect.height};
  ComPtr<IDXGIAdapter1> adapter;
  ComPtr<IDXGIOutput> output;
  DXGI_OUTPUT_DESC outputDesc{};
  int touched = 0;
  ComPtr<IDXGIAdapter1> candidate;
  for (UINT a = 0; factory->EnumAdapters1(a, candidate.ReleaseAndGetAddressOf()) != DXGI_ERROR_NOT_FOUND; ++a) {
    ComPtr<IDXGIOutput> out;
    for (UINT o = 0; candidate->EnumOutputs(o, out.ReleaseAndGetAddressOf()) != DXGI_ERROR_NOT_FOUND; ++o) {
      DXGI_OUTPUT_DESC desc{};
      if (FAILED(out->GetDesc(&desc)) || !desc.AttachedToDesktop || !overlaps(desc.DesktopCoordinates, wanted))
        continue;
      ++touched;
      if (contains(desc.DesktopCoordinates, wanted)) {
        adapter = candidate;
        output = out;
        outputDesc = desc;
      }
    }
  }
  if (touched > 1) {
    reason = "区域跨越多个显示器";
    return false;
  }
  if (!output) {
    reason = "没有输出包含该区域";
    return false;
  }
  if (outputDesc.Rotation != DXGI_MODE_ROTATION_IDENTITY && outputDesc.Rotation != DXGI_MODE_ROTATION_UNSPECIFIED) {
    reason = "显示器已旋转";  // the duplicated image comes unrotated
    return false;
  }

  auto s = std::make_unique<State>();
  const RECT& d = outputDesc.DesktopCoordinates;
  s->outputWidth = d.right - d.left;
  s->outputHeight = d.bottom - d.top;
  s->box = D3D11_BOX{static_cast<UINT>(wanted.left - d.left), static_cast<UINT>(wanted.top - d.top), 0,
                     static_cast<UINT>(wanted.right - d.left), static_cast<UINT>(wanted.bottom - d.top), 1};
  // The device must come from the adapter the output is connected to.
  hr = D3D11CreateDevice(adapter.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                         s->device.GetAddressOf(), nullptr, s->context.GetAddressOf());
  if (FAILED(hr)) {
    reason = comFailure("D3D11CreateDevice", hr);
    return false;
  }
  hr = output.As(&s->output);
  if (FAILED(hr)) {
    reason = comFailure("IDXGIOutput1", hr);
    return false;
  }
  if (!s->duplicate(reason)) return false;

  D3D11_TEXTURE2D_DESC texture{};
  texture.Width = static_cast<UINT>(rect.width);
  texture.Height = static_cast<UINT>(rect.height);
  texture.MipLevels = 1;
  texture.ArraySize = 1;
  texture.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  texture.SampleDesc.Count = 1;
  texture.Usage = D3D11_USAGE_STAGING;
  texture.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  hr = s->device->CreateTexture2D(&texture, nullptr, s->staging.GetAddressOf());
  if (FAILED(hr)) {
    reason = comFailure("CreateTexture2D", hr);
    return false;
  }
  state_ = std::move(s);
  return true;
}

DesktopDuplication::Copy DesktopDuplication::copyTo(std::uint8_t* dst, std::size_t stride, std::string& reason) {
  if (!state_) {
    reason = "未打开";
    return Copy::Failed;
  }
  State& s = *state_;
  if (!s.duplication && !s.duplicate(reason)) return Copy::Failed;

  DXGI_OUTDUPL_FRAME_INFO info{};
  ComPtr<IDXGIResource> resource;
  HRESULT hr = s.duplication->AcquireNextFrame(0, &info, resource.GetAddressOf());
  if (hr == DXGI_ERROR_ACCESS_LOST) {
    s.duplication.Reset();
  } else if (hr != DXGI_ERROR_WAIT_TIMEOUT) {
    if (FAILED(hr)) {
      reason = comFailure("AcquireNextFrame", hr);
      return Copy::Failed;
    }
    // LastPresentTime 0: only the pointer moved; the picture kept is current.
    if (info.LastPresentTime.QuadPart != 0 || !s.havePicture) {
      ComPtr<ID3D11Texture2D> desktop;
      hr = resource.As(&desktop);
      if (SUCCEEDED(hr)) {
        s.context->CopySubresourceRegion(s.staging.Get(), 0, 0, 0, 0, desktop.Get(), 0, &s.box);
        s.havePicture = true;
      }
    }
    s.duplication->ReleaseFrame();
    if (FAILED(hr)) {
      reason = comFailure("ID3D11Texture2D", hr);
      return Copy::Failed;
    }
  }
  if (!s.havePicture) return Copy::NoPictureYet;

  D3D11_MAPPED_SUBRESOURCE mapped{};
  hr = s.context->Map(s.staging.Get(), 0, D3D11_MAP_READ, 0, &mapped);
  if (FAILED(hr)) {
    reason = comFailure("Map", hr);
    return Copy::Failed;
  }
  const std::size_t rowBytes = static_cast<std::size_t>(s.box.right - s.box.left) * 4u;
  const auto* src = static_cast<const std::uint8_t*>(mapped.pData);
  for (UINT y = 0; y < s.box.bottom - s.box.top; ++y)
    std::memcpy(dst + y * stride, src + static_cast<std::size_t>(y) * mapped.RowPitch, rowBytes);
  s.context->Unmap(s.staging.Get(), 0);
  return Copy::Picture;
}

}  // namespace vl::detail
