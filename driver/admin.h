// Administrative commands: the request that opens one.
#pragma once

namespace tarq {

// Sends the command in ctx.adminCode to the terminal; the send's result (1 acknowledged).
int sendAdminRequest();

} // namespace tarq
