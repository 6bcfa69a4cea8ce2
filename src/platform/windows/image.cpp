// The image codecs on Windows: the Windows Imaging Component decodes PNG, JPEG and BMP and
// encodes PNG, so the executable carries no codec library of its own. Failures carry the
// system's text for the HRESULT.
#include "image/image.hpp"
#include "image/raster.hpp"
#include "platform/windows/win.hpp"

#include <objbase.h>
#include <wincodec.h>

#include <cstdio>
#include <utility>

namespace vft::image {

namespace {

// An owned COM interface pointer, released on every path.
template <class T> class Com {
public:
  Com() = default;
  ~Com() {
    if (pointer_ != nullptr) pointer_->Release();
  }
  Com(const Com &) = delete;
  Com &operator=(const Com &) = delete;
  T *operator->() const { return pointer_; }
  T *get() const { return pointer_; }
  T **put() { return &pointer_; }
  void **put_void() { return reinterpret_cast<void **>(&pointer_); }

private:
  T *pointer_ = nullptr;
};

// COM for the length of one conversion. A thread that already chose another apartment
// model keeps it, and is then not uninitialised here.
class ComScope {
public:
  ComScope() : result_(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(result_)) ::CoUninitialize();
  }
  ComScope(const ComScope &) = delete;
  ComScope &operator=(const ComScope &) = delete;
  bool usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }
  HRESULT result() const { return result_; }

private:
  HRESULT result_;
};

Failure hresult_failure(HRESULT result) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(result));
  const std::string text = platform::win::error_text(static_cast<DWORD>(result));
  if (text.rfind("Windows error ", 0) == 0) {
    return fail(std::string("Windows Imaging Component error ") + code);
  }
  return fail(text + " (" + code + ")");
}

Result<void> check(HRESULT result) {
  if (FAILED(result)) return hresult_failure(result);
  return {};
}

Result<void> create_factory(Com<IWICImagingFactory> &factory) {
  return check(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWICImagingFactory, factory.put_void()));
}

const GUID &container_of(Format format) {
  switch (format) {
  case Format::png:
    return GUID_ContainerFormatPng;
  case Format::jpeg:
    return GUID_ContainerFormatJpeg;
  case Format::bmp:
    break;
  }
  return GUID_ContainerFormatBmp;
}

// How a frame's pixels are taken: in its own packed format (palette and gray of up to
// 8 bits), or converted to 8-bit gray, BGR or BGRA.
struct Layout {
  WICPixelFormatGUID format;
  Colour colour;
  int bit_depth;
};

bool is_one_of(const WICPixelFormatGUID &format, std::initializer_list<const GUID *> formats) {
  for (const GUID *candidate : formats) {
    if (::IsEqualGUID(format, *candidate)) return true;
  }
  return false;
}

Layout layout_for(const WICPixelFormatGUID &source) {
  if (::IsEqualGUID(source, GUID_WICPixelFormat1bppIndexed)) {
    return {source, Colour::palette, 1};
  }
  if (::IsEqualGUID(source, GUID_WICPixelFormat2bppIndexed)) {
    return {source, Colour::palette, 2};
  }
  if (::IsEqualGUID(source, GUID_WICPixelFormat4bppIndexed)) {
    return {source, Colour::palette, 4};
  }
  if (::IsEqualGUID(source, GUID_WICPixelFormat8bppIndexed)) {
    return {source, Colour::palette, 8};
  }
  if (::IsEqualGUID(source, GUID_WICPixelFormatBlackWhite)) return {source, Colour::gray, 1};
  if (::IsEqualGUID(source, GUID_WICPixelFormat2bppGray)) return {source, Colour::gray, 2};
  if (::IsEqualGUID(source, GUID_WICPixelFormat4bppGray)) return {source, Colour::gray, 4};
  if (is_one_of(source, {&GUID_WICPixelFormat8bppGray, &GUID_WICPixelFormat16bppGray})) {
    return {GUID_WICPixelFormat8bppGray, Colour::gray, 8};
  }
  if (is_one_of(source, {&GUID_WICPixelFormat32bppBGRA, &GUID_WICPixelFormat32bppRGBA,
                         &GUID_WICPixelFormat32bppPBGRA, &GUID_WICPixelFormat32bppPRGBA,
                         &GUID_WICPixelFormat64bppRGBA, &GUID_WICPixelFormat64bppBGRA,
                         &GUID_WICPixelFormat64bppPRGBA, &GUID_WICPixelFormat64bppPBGRA,
                         &GUID_WICPixelFormat16bppBGRA5551})) {
    return {GUID_WICPixelFormat32bppBGRA, Colour::rgba, 8};
  }
  return {GUID_WICPixelFormat24bppBGR, Colour::rgb, 8};
}

// WIC orders colour channels blue first; the raster keeps them red first.
void swap_red_and_blue(Raster &raster) {
  const std::size_t channels = static_cast<std::size_t>(channel_count(raster.colour));
  if (channels < 3) return;
  for (std::size_t y = 0; y < raster.height; ++y) {
    char *row = raster.pixels.data() + y * raster.row_bytes;
    for (std::size_t x = 0; x < raster.width; ++x)
      std::swap(row[x * channels], row[x * channels + 2]);
  }
}

Result<void> read_palette(IWICImagingFactory *factory, IWICBitmapFrameDecode *frame,
                          Raster &raster) {
  Com<IWICPalette> palette;
  if (auto made = check(factory->CreatePalette(palette.put())); !made) return made;
  if (auto copied = check(frame->CopyPalette(palette.get())); !copied) return copied;
  UINT count = 0;
  if (auto counted = check(palette->GetColorCount(&count)); !counted) return counted;
  std::vector<WICColor> colours(count);
  if (auto got = check(palette->GetColors(count, colours.data(), &count)); !got) return got;
  for (UINT i = 0; i < count; ++i) {
    const WICColor argb = colours[i];
    raster.palette.push_back({static_cast<std::uint8_t>(argb >> 16),
                              static_cast<std::uint8_t>(argb >> 8), static_cast<std::uint8_t>(argb),
                              static_cast<std::uint8_t>(argb >> 24)});
  }
  return {};
}

} // namespace

Result<Raster> decode(std::string_view encoded, Format format, std::size_t max_decoded) {
  const ComScope com;
  if (!com.usable()) return hresult_failure(com.result());
  Com<IWICImagingFactory> factory;
  VFT_TRY_VOID(create_factory(factory));

  Com<IWICStream> stream;
  VFT_TRY_VOID(check(factory->CreateStream(stream.put())));
  // WIC only reads the bytes, though its signature takes them as writable.
  auto *bytes = reinterpret_cast<BYTE *>(const_cast<char *>(encoded.data()));
  VFT_TRY_VOID(check(stream->InitializeFromMemory(bytes, static_cast<DWORD>(encoded.size()))));
  Com<IWICBitmapDecoder> decoder;
  VFT_TRY_VOID(check(factory->CreateDecoder(container_of(format), nullptr, decoder.put())));
  VFT_TRY_VOID(check(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand)));
  Com<IWICBitmapFrameDecode> frame;
  VFT_TRY_VOID(check(decoder->GetFrame(0, frame.put())));
  UINT width = 0, height = 0;
  VFT_TRY_VOID(check(frame->GetSize(&width, &height)));
  WICPixelFormatGUID source{};
  VFT_TRY_VOID(check(frame->GetPixelFormat(&source)));

  const Layout layout = layout_for(source);
  VFT_TRY(const auto row, row_bytes_within(width, height,
                                           static_cast<std::uint64_t>(layout.bit_depth) *
                                               channel_count(layout.colour),
                                           max_decoded));
  Raster raster;
  raster.width = width;
  raster.height = height;
  raster.colour = layout.colour;
  raster.bit_depth = layout.bit_depth;
  raster.row_bytes = row;
  if (raster.colour == Colour::palette) {
    VFT_TRY_VOID(read_palette(factory.get(), frame.get(), raster));
  }

  Com<IWICFormatConverter> converter;
  IWICBitmapSource *pixels = frame.get();
  if (!::IsEqualGUID(source, layout.format)) {
    VFT_TRY_VOID(check(factory->CreateFormatConverter(converter.put())));
    VFT_TRY_VOID(check(converter->Initialize(frame.get(), layout.format, WICBitmapDitherTypeNone,
                                             nullptr, 0.0, WICBitmapPaletteTypeCustom)));
    pixels = converter.get();
  }
  raster.pixels.resize(raster.row_bytes * raster.height);
  // The cap keeps both sizes within UINT.
  VFT_TRY_VOID(check(pixels->CopyPixels(nullptr, static_cast<UINT>(raster.row_bytes),
                                        static_cast<UINT>(raster.pixels.size()),
                                        reinterpret_cast<BYTE *>(raster.pixels.data()))));
  swap_red_and_blue(raster);
  return raster;
}

Result<std::string> encode_png(const Raster &raster, std::size_t max_png) {
  WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
  switch (raster.colour) {
  case Colour::palette: {
    const GUID *indexed[] = {&GUID_WICPixelFormat1bppIndexed, &GUID_WICPixelFormat2bppIndexed,
                             &GUID_WICPixelFormat4bppIndexed, &GUID_WICPixelFormat8bppIndexed};
    format = *indexed[raster.bit_depth == 1   ? 0
                      : raster.bit_depth == 2 ? 1
                      : raster.bit_depth == 4 ? 2
                                              : 3];
    break;
  }
  case Colour::gray: {
    const GUID *gray[] = {&GUID_WICPixelFormatBlackWhite, &GUID_WICPixelFormat2bppGray,
                          &GUID_WICPixelFormat4bppGray, &GUID_WICPixelFormat8bppGray};
    format = *gray[raster.bit_depth == 1   ? 0
                   : raster.bit_depth == 2 ? 1
                   : raster.bit_depth == 4 ? 2
                                           : 3];
    break;
  }
  case Colour::rgba:
  case Colour::gray_alpha:
    format = GUID_WICPixelFormat32bppBGRA;
    break;
  case Colour::rgb:
    break;
  }
  // Rows in WIC's channel order; gray with alpha (not decoded here) goes out as BGRA.
  Raster rows = raster;
  if (raster.colour == Colour::gray_alpha) {
    rows.colour = Colour::rgba;
    rows.row_bytes = static_cast<std::size_t>(raster.width) * 4;
    rows.pixels.assign(rows.row_bytes * raster.height, '\0');
    for (std::size_t y = 0; y < raster.height; ++y) {
      for (std::size_t x = 0; x < raster.width; ++x) {
        const char *in = raster.pixels.data() + y * raster.row_bytes + x * 2;
        char *out = rows.pixels.data() + y * rows.row_bytes + x * 4;
        out[0] = out[1] = out[2] = in[0];
        out[3] = in[1];
      }
    }
  }
  swap_red_and_blue(rows);

  const ComScope com;
  if (!com.usable()) return hresult_failure(com.result());
  Com<IWICImagingFactory> factory;
  VFT_TRY_VOID(create_factory(factory));
  Com<IStream> stream;
  VFT_TRY_VOID(check(::CreateStreamOnHGlobal(nullptr, TRUE, stream.put())));
  Com<IWICBitmapEncoder> encoder;
  VFT_TRY_VOID(check(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put())));
  VFT_TRY_VOID(check(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache)));
  Com<IWICBitmapFrameEncode> frame;
  Com<IPropertyBag2> options;
  VFT_TRY_VOID(check(encoder->CreateNewFrame(frame.put(), options.put())));
  VFT_TRY_VOID(check(frame->Initialize(options.get())));
  VFT_TRY_VOID(check(frame->SetSize(raster.width, raster.height)));
  WICPixelFormatGUID accepted = format;
  VFT_TRY_VOID(check(frame->SetPixelFormat(&accepted)));
  if (!::IsEqualGUID(accepted, format)) {
    return hresult_failure(WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT);
  }
  if (raster.colour == Colour::palette) {
    Com<IWICPalette> palette;
    VFT_TRY_VOID(check(factory->CreatePalette(palette.put())));
    std::vector<WICColor> colours;
    for (const PaletteEntry &entry : raster.palette) {
      colours.push_back(static_cast<WICColor>(entry.alpha) << 24 |
                        static_cast<WICColor>(entry.red) << 16 |
                        static_cast<WICColor>(entry.green) << 8 | entry.blue);
    }
    VFT_TRY_VOID(
        check(palette->InitializeCustom(colours.data(), static_cast<UINT>(colours.size()))));
    VFT_TRY_VOID(check(frame->SetPalette(palette.get())));
  }
  VFT_TRY_VOID(check(frame->WritePixels(raster.height, static_cast<UINT>(rows.row_bytes),
                                        static_cast<UINT>(rows.pixels.size()),
                                        reinterpret_cast<BYTE *>(rows.pixels.data()))));
  VFT_TRY_VOID(check(frame->Commit()));
  VFT_TRY_VOID(check(encoder->Commit()));

  STATSTG status{};
  VFT_TRY_VOID(check(stream->Stat(&status, STATFLAG_NONAME)));
  if (status.cbSize.QuadPart > max_png) return fail(kPngTooLarge);
  std::string png(static_cast<std::size_t>(status.cbSize.QuadPart), '\0');
  LARGE_INTEGER start{};
  VFT_TRY_VOID(check(stream->Seek(start, STREAM_SEEK_SET, nullptr)));
  ULONG read = 0;
  VFT_TRY_VOID(check(stream->Read(png.data(), static_cast<ULONG>(png.size()), &read)));
  png.resize(read);
  return png;
}

} // namespace vft::image
