#include "net/socket_errors.h"

#include <cstdio>

namespace veritor {

namespace {

struct SocketErrorRow {
  int code;
  const char* name;
};

constexpr SocketErrorRow kSocketErrors[] = {
    {10004, "EINTR"},           {10009, "EBADF"},          {10013, "EACCES"},
    {10014, "EFAULT"},          {10022, "EINVAL"},         {10024, "EMFILE"},
    {10035, "EWOULDBLOCK"},     {10036, "EINPROGRESS"},    {10037, "EALREADY"},
    {10038, "ENOTSOCK"},        {10039, "EDESTADDRREQ"},   {10040, "EMSGSIZE"},
    {10041, "EPROTOTYPE"},      {10042, "ENOPROTOOPT"},    {10043, "EPROTONOSUPPORT"},
    {10044, "ESOCKTNOSUPPORT"}, {10045, "EOPNOTSUPP"},     {10046, "EPFNOSUPPORT"},
    {10047, "EAFNOSUPPORT"},    {10048, "EADDRINUSE"},     {10049, "EADDRNOTAVAIL"},
    {10050, "ENETDOWN"},        {10051, "ENETUNREACH"},    {10052, "ENETRESET"},
    {10053, "ECONNABORTED"},    {10054, "ECONNRESET"},     {10055, "ENOBUFS"},
    {10056, "EISCONN"},         {10057, "ENOTCONN"},       {10058, "ESHUTDOWN"},
    {10059, "ETOOMANYREFS"},    {10060, "ETIMEDOUT"},      {10061, "ECONNREFUSED"},
    {10062, "ELOOP"},           {10063, "ENAMETOOLONG"},   {10064, "EHOSTDOWN"},
    {10065, "EHOSTUNREACH"},    {10066, "ENOTEMPTY"},      {10067, "EPROCLIM"},
    {10068, "EUSERS"},          {10069, "EDQUOT"},         {10070, "ESTALE"},
    {10071, "EREMOTE"},         {10091, "SYSNOTREADY"},    {10092, "VERNOTSUPPORTED"},
    {10093, "NOTINITIALISED"},  {10101, "EDISCON"},        {11001, "HOST_NOT_FOUND"},
    {11002, "TRY_AGAIN"},       {11003, "NO_RECOVERY"},    {11004, "NO_DATA"},
};

}  // namespace

std::string SocketErrorName(int code) {
  for (const SocketErrorRow& row : kSocketErrors)
    if (row.code == code) return row.name;
  char text[32];
  std::snprintf(text, sizeof text, "Unknown 0x%04X", static_cast<unsigned>(code));
  return text;
}

void ReportSocketError(MessageLog& log, const char* context, int code) {
  log.LogMessage("%s: %s", context, SocketErrorName(code).c_str());
}

}  // namespace veritor
