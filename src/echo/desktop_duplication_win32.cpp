// Desktop duplication after Microsoft's documented flow: a Direct3D 11
// device on the adapter the output belongs to, IDXGIOutput1::DuplicateOutput,
// then per frame AcquireNextFrame without waiting, the frame's move and dirty
// rectangles (readable only until ReleaseFrame), a copy of what they changed
// inside the region into one of two staging textures, ReleaseFrame at once,
// Map to read those rows. Which result means what for the picture is
// DuplicationRecovery's business, which rectangles changed is
// DuplicationDamage's; here HRESULTs only become DuplicationFaults.
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstring>
#include <utility>

#include "echo/desktop_duplication_win32.h"
#include "echo/duplication_damage.h"
#include "log/helpers.h"

namespace vl::detail {

using Microsoft::WRL::ComPtr;

namespace {

std::string comFailure(const char* call, HRESULT hr) {
  return formatString("%s（0x%08X）", call, static_cast<unsigned>(hr));
}

bool deviceGone(HRESULT hr) { return hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET; }

DuplicationFault faultOf(HRESULT hr) {
  if (deviceGone(hr)) return DuplicationFault::DeviceLost;
  if (hr == DXGI_ERROR_ACCESS_LOST) return DuplicationFault::AccessLost;
  return DuplicationFault::Other;
}

bool overlaps(const RECT& a, const RECT& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

bool contains(const RECT& outer, const RECT& inner) {
  return outer.left <= inner.left && outer.top <= inner.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

// The duplicated image is B8G8R8A8 whatever the output shows (HDR and
// advanced colour included, as long as DuplicateOutput1 is not used).
bool copiesIntoStaging(DXGI_FORMAT format) {
  return format == DXGI_FORMAT_B8G8R8A8_UNORM || format == DXGI_FORMAT_B8G8R8A8_UNORM_SRGB ||
         format == DXGI_FORMAT_B8G8R8A8_TYPELESS;
}

bool sameLuid(const LUID& a, const LUID& b) { return a.LowPart == b.LowPart && a.HighPart == b.HighPart; }

// The metadata buffer is handed to the API as it is.
static_assert(sizeof(OutputRect) == sizeof(RECT) && offsetof(OutputRect, left) == offsetof(RECT, left) &&
              offsetof(OutputRect, top) == offsetof(RECT, top) &&
              offsetof(OutputRect, right) == offsetof(RECT, right) &&
              offsetof(OutputRect, bottom) == offsetof(RECT, bottom));
static_assert(sizeof(OutputMove) == sizeof(DXGI_OUTDUPL_MOVE_RECT) &&
              offsetof(OutputMove, sourceX) == offsetof(DXGI_OUTDUPL_MOVE_RECT, SourcePoint.x) &&
              offsetof(OutputMove, sourceY) == offsetof(DXGI_OUTDUPL_MOVE_RECT, SourcePoint.y) &&
              offsetof(OutputMove, destination) == offsetof(DXGI_OUTDUPL_MOVE_RECT, DestinationRect));

// The held frame's rectangles.
class HeldFrameMetadata final : public FrameMetadataSource {
 public:
  explicit HeldFrameMetadata(IDXGIOutputDuplication* duplication) : duplication_(duplication) {}

  DuplicationFault moveRects(void* buffer, std::uint32_t bytes, std::uint32_t& used, bool& moreData,
                             std::string& reason) override {
    UINT required = 0;
    const HRESULT hr =
        duplication_->GetFrameMoveRects(bytes, static_cast<DXGI_OUTDUPL_MOVE_RECT*>(buffer), &required);
    return answer("GetFrameMoveRects", hr, required, used, moreData, reason);
  }
  DuplicationFault dirtyRects(void* buffer, std::uint32_t bytes, std::uint32_t& used, bool& moreData,
                              std::string& reason) override {
    UINT required = 0;
    const HRESULT hr = duplication_->GetFrameDirtyRects(bytes, static_cast<RECT*>(buffer), &required);
    return answer("GetFrameDirtyRects", hr, required, used, moreData, reason);
  }

 private:
  static DuplicationFault answer(const char* call, HRESULT hr, UINT required, std::uint32_t& used, bool& moreData,
                                 std::string& reason) {
    used = required;
    moreData = hr == DXGI_ERROR_MORE_DATA;
    if (moreData || SUCCEEDED(hr)) return DuplicationFault::None;
    used = 0;
    reason = comFailure(call, hr);
    return faultOf(hr);
  }

  IDXGIOutputDuplication* duplication_;
};

}  // namespace

struct DesktopDuplication::State {
  MonitorInfo rect;
  std::uint8_t* dst = nullptr;
  std::size_t stride = 0;

  // Kept across set-ups unless the device is lost or the adapter changes.
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  LUID adapterLuid{};
  ComPtr<ID3D11Texture2D> staging[2];

  ComPtr<IDXGIOutputDuplication> duplication;
  D3D11_BOX box{};  // the rectangle in output coordinates
  LONG outputWidth = 0;
  LONG outputHeight = 0;
  DuplicationDamage damage;

  void dropDevice() {
    duplication.Reset();
    staging[0].Reset();
    staging[1].Reset();
    context.Reset();
    device.Reset();
  }

  DuplicationFault makeDevice(IDXGIAdapter1* adapter, const LUID& luid, std::string& reason) {
    dropDevice();
    // The device must come from the adapter the output is connected to.
    HRESULT hr = D3D11CreateDevice(adapter, D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                   device.GetAddressOf(), nullptr, context.GetAddressOf());
    if (FAILED(hr)) {
      reason = comFailure("D3D11CreateDevice", hr);
      dropDevice();
      return DuplicationFault::Other;
    }
    adapterLuid = luid;
    D3D11_TEXTURE2D_DESC texture{};
    texture.Width = static_cast<UINT>(rect.width);
    texture.Height = static_cast<UINT>(rect.height);
    texture.MipLevels = 1;
    texture.ArraySize = 1;
    texture.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    texture.SampleDesc.Count = 1;
    texture.Usage = D3D11_USAGE_STAGING;
    texture.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    for (auto& s : staging) {
      hr = device->CreateTexture2D(&texture, nullptr, s.GetAddressOf());
      if (FAILED(hr)) {
        reason = comFailure("CreateTexture2D", hr);
        dropDevice();
        return faultOf(hr);
      }
    }
    return DuplicationFault::None;
  }
};

namespace {

RegionDuplicationMaker& maker() {
  static RegionDuplicationMaker make;
  return make;
}

}  // namespace

void setRegionDuplicationMaker(RegionDuplicationMaker make) { maker() = std::move(make); }

std::unique_ptr<RegionDuplication> makeRegionDuplication() {
  if (maker()) return maker()();
  return std::make_unique<DesktopDuplication>();
}

DesktopDuplication::DesktopDuplication() = default;
DesktopDuplication::~DesktopDuplication() = default;

void DesktopDuplication::close() { state_.reset(); }

void DesktopDuplication::open(const MonitorInfo& rect, std::uint8_t* dst, std::size_t stride) {
  close();
  state_ = std::make_unique<State>();
  state_->rect = rect;
  state_->dst = dst;
  state_->stride = stride;
}

void DesktopDuplication::tearDown() {
  if (state_) state_->duplication.Reset();
}

DuplicationFault DesktopDuplication::setUp(bool newDevice, std::string& reason) {
  if (!state_) {
    reason = "未打开";
    return DuplicationFault::Other;
  }
  State& s = *state_;
  s.duplication.Reset();
  // A fresh factory each time: after a mode change or a driver reset the old
  // one describes outputs that are gone.
  ComPtr<IDXGIFactory1> factory;
  HRESULT hr = CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.GetAddressOf()));
  if (FAILED(hr)) {
    reason = comFailure("CreateDXGIFactory1", hr);
    return DuplicationFault::Other;
  }
  const MonitorInfo& rect = s.rect;
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
    return DuplicationFault::Other;
  }
  if (!output) {
    reason = "没有输出包含该区域";
    return DuplicationFault::Other;
  }
  // Checked at every set-up: a convertible turned or a kiosk switched to
  // portrait since the last one. The duplicated image comes unrotated.
  if (outputDesc.Rotation != DXGI_MODE_ROTATION_IDENTITY && outputDesc.Rotation != DXGI_MODE_ROTATION_UNSPECIFIED) {
    reason = "显示器已旋转";
    return DuplicationFault::Rotated;
  }
  const RECT& d = outputDesc.DesktopCoordinates;
  s.outputWidth = d.right - d.left;
  s.outputHeight = d.bottom - d.top;
  s.box = D3D11_BOX{static_cast<UINT>(wanted.left - d.left), static_cast<UINT>(wanted.top - d.top), 0,
                    static_cast<UINT>(wanted.right - d.left), static_cast<UINT>(wanted.bottom - d.top), 1};

  DXGI_ADAPTER_DESC1 adapterDesc{};
  adapter->GetDesc1(&adapterDesc);
  const bool deviceUsable =
      s.device && !newDevice && sameLuid(s.adapterLuid, adapterDesc.AdapterLuid) && s.device->GetDeviceRemovedReason() == S_OK;
  if (!deviceUsable) {
    const DuplicationFault fault = s.makeDevice(adapter.Get(), adapterDesc.AdapterLuid, reason);
    if (fault != DuplicationFault::None) return fault;
  }

  ComPtr<IDXGIOutput1> output1;
  hr = output.As(&output1);
  if (FAILED(hr)) {
    reason = comFailure("IDXGIOutput1", hr);  // before Windows 8
    return DuplicationFault::Unavailable;
  }
  hr = output1->DuplicateOutput(s.device.Get(), s.duplication.GetAddressOf());
  if (FAILED(hr)) {
    reason = comFailure("DuplicateOutput", hr);
    s.duplication.Reset();
    // Access denied: the secure desktop (or no right to duplicate at all);
    // unsupported: a desktop switch under way, try again after it.
    if (hr == E_ACCESSDENIED || hr == DXGI_ERROR_UNSUPPORTED) return DuplicationFault::Refused;
    if (hr == E_NOTIMPL) return DuplicationFault::Unavailable;
    return faultOf(hr);
  }
  DXGI_OUTDUPL_DESC desc{};
  s.duplication->GetDesc(&desc);
  // A desktop of another size than the output's rectangle means scaled
  // coordinates or a mode change: the box would cut the wrong part.
  if (static_cast<LONG>(desc.ModeDesc.Width) != s.outputWidth ||
      static_cast<LONG>(desc.ModeDesc.Height) != s.outputHeight) {
    reason = formatString("桌面图像 %ux%u 与显示器 %ldx%ld 不符", desc.ModeDesc.Width, desc.ModeDesc.Height,
                          static_cast<long>(s.outputWidth), static_cast<long>(s.outputHeight));
    s.duplication.Reset();
    return DuplicationFault::Other;
  }
  // Rotation was refused above, so rectangles are never turned here.
  s.damage.reset(OutputRect{static_cast<std::int32_t>(s.box.left), static_cast<std::int32_t>(s.box.top),
                            static_cast<std::int32_t>(s.box.right), static_cast<std::int32_t>(s.box.bottom)},
                 false);
  return DuplicationFault::None;
}

DuplicationFault DesktopDuplication::acquire(int slot, bool& queued, std::string& reason) {
  queued = false;
  if (!state_ || !state_->duplication) {
    reason = "未建立桌面复制";
    return DuplicationFault::Other;
  }
  State& s = *state_;
  DXGI_OUTDUPL_FRAME_INFO info{};
  ComPtr<IDXGIResource> resource;
  HRESULT hr = s.duplication->AcquireNextFrame(0, &info, resource.GetAddressOf());
  if (hr == DXGI_ERROR_WAIT_TIMEOUT) return DuplicationFault::None;
  if (FAILED(hr)) {
    reason = comFailure("AcquireNextFrame", hr);
    return faultOf(hr);
  }
  // Pointer-only frames and changes outside the region leave `changed` off.
  const DuplicatedFrameInfo frame{info.LastPresentTime.QuadPart, info.AccumulatedFrames, info.TotalMetadataBufferSize};
  HeldFrameMetadata metadata(s.duplication.Get());
  bool changed = false;
  DuplicationFault fault = s.damage.addFrame(frame, metadata, changed, reason);
  if (fault == DuplicationFault::None && changed) {
    ComPtr<ID3D11Texture2D> desktop;
    hr = resource.As(&desktop);
    if (FAILED(hr)) {
      reason = comFailure("ID3D11Texture2D", hr);
      fault = faultOf(hr);
    } else {
      D3D11_TEXTURE2D_DESC desc{};
      desktop->GetDesc(&desc);
      if (!copiesIntoStaging(desc.Format) || static_cast<LONG>(desc.Width) != s.outputWidth ||
          static_cast<LONG>(desc.Height) != s.outputHeight) {
        reason = formatString("桌面图像 %ux%u 格式 %u 不合用", desc.Width, desc.Height,
                              static_cast<unsigned>(desc.Format));
        fault = DuplicationFault::Other;
      } else {
        // Only what changed since the last read crosses to the staging
        // texture; the rest of it is stale and never read.
        ID3D11Texture2D* staging = s.staging[slot & 1].Get();
        const FrameDamage& unread = s.damage.unread();
        if (unread.whole) {
          s.context->CopySubresourceRegion(staging, 0, 0, 0, 0, desktop.Get(), 0, &s.box);
        } else {
          for (const PixelRect& r : unread.rects) {
            const D3D11_BOX part{s.box.left + static_cast<UINT>(r.x), s.box.top + static_cast<UINT>(r.y), 0,
                                 s.box.left + static_cast<UINT>(r.x + r.width),
                                 s.box.top + static_cast<UINT>(r.y + r.height), 1};
            s.context->CopySubresourceRegion(staging, 0, static_cast<UINT>(r.x), static_cast<UINT>(r.y), 0,
                                             desktop.Get(), 0, &part);
          }
        }
        s.damage.queued(slot);
        queued = true;
      }
    }
  }
  resource.Reset();
  hr = s.duplication->ReleaseFrame();
  if (fault == DuplicationFault::None && FAILED(hr)) {
    reason = comFailure("ReleaseFrame", hr);
    queued = false;
    fault = faultOf(hr);
  }
  return fault;
}

DuplicationFault DesktopDuplication::read(int slot, bool wait, bool& stillDrawing, FrameDamage& damage,
                                          std::string& reason) {
  stillDrawing = false;
  if (!state_ || !state_->staging[slot & 1]) {
    reason = "未建立桌面复制";
    return DuplicationFault::Other;
  }
  State& s = *state_;
  ID3D11Texture2D* texture = s.staging[slot & 1].Get();
  D3D11_MAPPED_SUBRESOURCE mapped{};
  const HRESULT hr = s.context->Map(texture, 0, D3D11_MAP_READ, wait ? 0 : D3D11_MAP_FLAG_DO_NOT_WAIT, &mapped);
  if (hr == DXGI_ERROR_WAS_STILL_DRAWING) {
    stillDrawing = true;
    return DuplicationFault::None;
  }
  if (FAILED(hr)) {
    reason = comFailure("Map", hr);
    return faultOf(hr);
  }
  const FrameDamage& brought = s.damage.slot(slot);
  copyDamage(static_cast<const std::uint8_t*>(mapped.pData), mapped.RowPitch, s.dst, s.stride,
             static_cast<std::int32_t>(s.box.right - s.box.left), static_cast<std::int32_t>(s.box.bottom - s.box.top),
             brought);
  damage = brought;
  s.damage.read();
  s.context->Unmap(texture, 0);
  return DuplicationFault::None;
}

}  // namespace vl::detail
