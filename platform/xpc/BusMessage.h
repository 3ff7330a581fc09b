// What the sd-bus transport reads from and writes into D-Bus messages, whichever side it is on:
// the protocol's one argument per message, and the interface the transport answers itself.
#pragma once

#include <systemd/sd-bus.h>

#include <string>
#include <string_view>

namespace xpc {

// The interface of the bus itself; its calls (Hello, Peer) are answered by the transport.
inline constexpr std::string_view kBusInterface = "org.freedesktop.DBus";

// org.freedesktop.DBus or one of its sub-interfaces (org.freedesktop.DBus.Peer, ...).
bool isTransportInterface(const char* interface);

// The protocol's messages carry one argument: a string (signature "s") or bytes (anything else,
// "ay"). Both return sd-bus's result.
int appendArgument(sd_bus_message* m, std::string_view signature, const std::string& value);
int readArgument(sd_bus_message* m, std::string_view signature, std::string& value);

// Answers the call `m` with the error `name` when its caller expects a reply.
void replyError(sd_bus_message* m, const char* name, const std::string& text);

}  // namespace xpc
