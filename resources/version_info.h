// The program's version block: the one place its version values are kept.
#pragma once

#include <string_view>

namespace kestrival::resources {

inline constexpr int kVersionParts[4] = {1, 0, 0, 1};
inline constexpr std::string_view kVersionText = "1.0.0.1";

inline constexpr std::string_view kCompanyName = "";
inline constexpr std::string_view kFileDescription = "Kestrival Microsoft 基础类应用程序";
inline constexpr std::string_view kFileVersion = "1, 0, 0, 1";
inline constexpr std::string_view kInternalName = "Kestrival";
inline constexpr std::string_view kLegalCopyright = "版权所有 (C) 2026 Kestrival 作者";
inline constexpr std::string_view kLegalTrademarks = "";
inline constexpr std::string_view kOriginalFilename = "Kestrival.EXE";
inline constexpr std::string_view kProductName = "Kestrival 应用程序";
inline constexpr std::string_view kProductVersion = "1, 0, 0, 1";

} // namespace kestrival::resources
