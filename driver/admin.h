// Administrative commands: the request that opens one.
#pragma once

namespace tarq {

// Sends the command in ctx.adminCode to the terminal.
void sendAdminRequest();

} // namespace tarq
