// Every user-visible text that names the platform, side by side, so the differences between
// the two builds can be read at a glance. The catalogue's own texts sit in catalog/texts-*.json.
#pragma once

namespace vft::platform_texts {

#ifdef _WIN32
inline constexpr const char *kUsage = "Usage: veymora-free-tools.exe APP call TOOL JSON";
inline constexpr const char *kStorageSentence = "Storage stays on this Windows computer;";
inline constexpr const char *kProtectionFailed = "Windows data protection failed";
inline constexpr const char *kProtectionLabel = "Windows DPAPI current user";
inline constexpr const char *kStudioPlatform = "Windows x64; local desktop conversations";
inline constexpr const char *kFfmpegName = "ffmpeg.exe";
inline constexpr const char *kChooseFfmpeg = "Choose the absolute path to an existing ffmpeg.exe";
inline constexpr const char *kRendererSetup =
    "Install FFmpeg separately and configure its absolute ffmpeg.exe path. H.264 exports require "
    "a build with libx264 and AAC support.";
#else
inline constexpr const char *kUsage = "Usage: veymora-free-tools APP call TOOL JSON";
inline constexpr const char *kStorageSentence = "Storage stays on this computer;";
inline constexpr const char *kProtectionFailed = "User data protection failed";
inline constexpr const char *kProtectionLabel = "Current user key (AES-256-GCM)";
inline constexpr const char *kStudioPlatform = "Linux x64; local desktop conversations";
inline constexpr const char *kFfmpegName = "ffmpeg";
inline constexpr const char *kChooseFfmpeg = "Choose the absolute path to an existing ffmpeg";
inline constexpr const char *kRendererSetup =
    "Install FFmpeg separately and configure its absolute ffmpeg path. H.264 exports require a "
    "build with libx264 and AAC support.";
#endif

} // namespace vft::platform_texts
