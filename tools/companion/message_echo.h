// The messages a VantleClient received, rebuilt from its callbacks.
//
// The client hands each kind the agent sends to a callback of its own;
// `echoMessages` installs every one of them and rebuilds the message each
// stands for, so that the companion can print the envelope as it arrived.
// What the client fills in comes back filled in: an `audited` without
// readings echoes an empty list, a `selectedImageUnavailable` without a
// reason echoes the client's default sentence, and a `frameThumbnail`
// missing any image field echoes as a bare clear. Kinds the client ignores
// (`pong` and the like) reach no callback and are not echoed.
//
// Install before connecting; `sink` runs on the client queue, in the order
// the messages arrived.
#pragma once

#include <functional>

#include "core/message.h"
#include "net/vantle_client.h"

namespace vantle::tools {

void echoMessages(net::VantleClient& client, std::function<void(const core::VantleMessage&)> sink);

}  // namespace vantle::tools
