// Addresses of the game portal's pages that the launcher and the in-game title
// bar open in the user's default web browser.
#pragma once

#include <string>
#include "BuildConfig.h"

// Host names (host[:port]) chosen at build time.
const wchar_t PORTAL_HOST[] = VORNMARK_PORTAL_HOST_W;
const wchar_t FORUM_HOST[] = VORNMARK_FORUM_HOST_W;
const wchar_t PAY_HOST[] = VORNMARK_PAY_HOST_W;
const wchar_t GAME_HOST[] = VORNMARK_GAME_HOST_W;

// Composed addresses live in 512-unit buffers on the way to the shell: longer
// ones are cut to this many units.
const size_t kAddressMaxUnits = 511;

namespace portal {

// UTF-8 percent-encoding of a query value: letters, digits and "-._~" stay,
// every other byte becomes %XX. A name such as "a&b" must not open a second
// query parameter.
std::wstring EncodeQueryValue(const wchar_t* value);

// Cuts an address to kAddressMaxUnits without leaving a broken %XX escape or
// half of a surrogate pair at its end.
std::wstring CutAddress(const std::wstring& address);

std::wstring Forum();          // "http://FORUM_HOST/"
std::wstring GamePage();       // "http://GAME_HOST"
std::wstring AntiAddiction();  // "http://PORTAL_HOST/my.php?act=fcm"
std::wstring ServiceBase();    // "http://PORTAL_HOST/api/kefu/wd.php?"
std::wstring RechargeBase();   // "http://PAY_HOST/?game_id=" VORNMARK_GAME_ID

// Customer service: base + "user_name=NAME&game_id=" VORNMARK_GAME_ID.
std::wstring Service(const wchar_t* userName);
// Recharge from the in-game title bar: base + "&user_name=NAME", followed by
// "&server_id=ID" when a server id is known. An empty name still gives "&user_name=".
std::wstring GameRecharge(const wchar_t* userName, const wchar_t* serverId);
// Recharge from the launcher: the base alone while no one is logged in, else
// base + "&user_name=NAME"; never a server id.
std::wstring LauncherRecharge(const wchar_t* userName);

}  // namespace portal

// The longest address handed to the system's shell. Windows takes web addresses
// up to its URL limit of 2,083 characters, but the shell of Wine 8 faults inside
// ShellExecuteW on any http or https address of 984 characters or more (983
// opens; 984 aborts; longer ones overflow its stack with the address's own
// characters), whatever handler is registered and wherever the program runs.
// 900 is below both, with room to spare for a shell that adds a little of its own.
const size_t kShellAddressMaxUnits = 900;

// Whether the `length` units at `address` may go to the shell as they are: an
// http or https address of at most kShellAddressMaxUnits units, all of them
// printable ASCII other than space and the double quote (the shell puts the
// address between quotes on the browser's command line). Addresses the engine
// reports are in that form already; anything else is refused whole.
bool IsShellSafeWebAddress(const wchar_t* address, size_t length);

// Hands a web address to the default web browser, unchanged. An address the
// shell could not take safely is not opened at all, never cut into another
// one; that and the shell's own failures stay silent. True when it was handed over.
bool OpenAddress(const std::wstring& address);
