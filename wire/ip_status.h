// IP status codes: the one number scheme in which an answer's outcome travels from the
// probes to the probe loop and the console. 0 is success, 11000 the base of the error
// codes; 11001..11022 have texts of their own, anything else is a system error number.
#pragma once

#include <cstdint>

constexpr int32_t kIpSuccess = 0;
constexpr int32_t kIpStatusBase = 11000;
constexpr int32_t kIpDestNetUnreachable = 11002;
constexpr int32_t kIpDestHostUnreachable = 11003;
constexpr int32_t kIpDestProtUnreachable = 11004;
constexpr int32_t kIpDestPortUnreachable = 11005;
constexpr int32_t kIpPacketTooBig = 11009;
constexpr int32_t kIpReqTimedOut = 11010;
constexpr int32_t kIpBadRoute = 11012;
constexpr int32_t kIpTtlExpiredTransit = 11013;
constexpr int32_t kIpTtlExpiredReassem = 11014;
constexpr int32_t kIpParamProblem = 11015;
constexpr int32_t kIpSourceQuench = 11016;
