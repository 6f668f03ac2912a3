// The service this program removes, as its installer registered it.
#pragma once

namespace ServiceIdentity {

inline constexpr char kName[] = "QUORVEX$TARNIKE";
inline constexpr char kDisplayName[] = "Quorvex Service";
// "Quorvex 관련 서비스입니다." in code page 949, kept as bytes so the source's own encoding plays no part.
inline constexpr char kDescription[] =
    "Quorvex \xB0\xFC\xB7\xC3 \xBC\xAD\xBA\xF1\xBD\xBA\xC0\xD4\xB4\xCF\xB4\xD9.";

}  // namespace ServiceIdentity
