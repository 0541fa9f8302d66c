// Message transport over the link: whole BER-TLV messages both ways.
#pragma once

#include "engine/sa.h"

#include <cstdint>

namespace tarq {

inline constexpr std::uint32_t PIP_SEND_SIZE = 90;
inline constexpr std::uint32_t PIP_RECV_SIZE = 1024;
inline constexpr int PIP_WACK_RETRIES = 3;
inline constexpr std::uint32_t PIP_WACK_SLEEP = 2000; // ms

int pip_send_tlv(std::uint8_t* sendBuffer);
int pip_receive(std::uint8_t* recvBuffer);
int pip_recv_frame(std::uint8_t* recvBuffer);

SA_EVENT* getECREvent();
int sendEvent(SA_ANSWER* answer);
int sendECREvent(SA_ANSWER* answer);

} // namespace tarq
