// Error numbers and texts the HTTP tunnel puts into the handle.
#pragma once

namespace kro::connection {

namespace tunnel_text {

inline constexpr char kVersion[] = "8.05";
inline constexpr char kCannotConnect[] = "HTTP Error. Could not connect to the tunneling URL.";
inline constexpr char kAuthorization[] = "HTTP Error. Authorization Required!.";
inline constexpr char kStopped[] = "Query stopped by user.";
inline constexpr char kAnswerTooLarge[] = "HTTP Error. The tunnel's answer is larger than kro accepts.";
inline constexpr char kAnswerTooSlow[] = "HTTP Error. The tunnel's answer did not arrive within ten time-outs.";
inline constexpr char kNoCheckAnswer[] = "Error getting response from the tunnelpage.";
inline constexpr char kUnusableAnswer[] =
    "Error in tunneling. Please send the HTTP response to the kro maintainers.";
inline constexpr char kVersionMismatch[] =
    "Velmar tunneling file version mismatch or PHP Error.\n"
    "Please upload the latest VelmarTunnel.php from the installation folder of Velmar.";
inline constexpr char kPhpTooOld[] =
    "PHP version was found to be < 4.3.0. You will need to upgrade to v4.3.0 or greater to use HTTP Tunneling.";
inline constexpr char kPhpLacksMysql[] =
    "The PHP of the tunnel's web server has no MySQL support. Please install its mysqli module.";

inline constexpr unsigned kErrCannotConnect = 1;  // also: unusable answer
inline constexpr unsigned kErrVersion = 3;
inline constexpr unsigned kErrStopped = 4;
inline constexpr unsigned kErrNoCheckAnswer = 5;
inline constexpr unsigned kErrPhpTooOld = 6;
inline constexpr unsigned kErrPhpLacksMysql = 7;

}  // namespace tunnel_text

// The text for an HTTP status other than 200, or null when the status has none (the
// handle's error text then stays as it was).
const char* http_status_text(long status);

}  // namespace kro::connection
