// Transition handlers: the actions of the automaton.
#pragma once

#include "core/sa.h"

namespace tarq {

SA_ANSWER* handleOpen(SA_EVENT*);
SA_ANSWER* handleClose(SA_EVENT*);
SA_ANSWER* handleMI(SA_EVENT*);
SA_ANSWER* handleCurrenycode(SA_EVENT*);
SA_ANSWER* handleAdmin(SA_EVENT*);
SA_ANSWER* handleAmount(SA_EVENT*);
SA_ANSWER* handleRefund(SA_EVENT*);
SA_ANSWER* handleConfirmExtCard(SA_EVENT*);
SA_ANSWER* handleOkPos(SA_EVENT*);
SA_ANSWER* handleVerSigAns(SA_EVENT*);
SA_ANSWER* handleDefault(SA_EVENT*);
SA_ANSWER* handleStatusState(SA_EVENT*);
SA_ANSWER* handleAdviceFlag(SA_EVENT*);
SA_ANSWER* handleIdle(SA_EVENT*);
SA_ANSWER* handleVerSigAsk(SA_EVENT*);
SA_ANSWER* handleNoReceipt(SA_EVENT*);
SA_ANSWER* handleNoLog(SA_EVENT*);
SA_ANSWER* handleReceipt(SA_EVENT*);
SA_ANSWER* handleCardswipe(SA_EVENT*);
SA_ANSWER* handleConfirm(SA_EVENT*);
SA_ANSWER* handleAbort(SA_EVENT*);
SA_ANSWER* handleTransComplete(SA_EVENT*);
SA_ANSWER* handleTermNotReady(SA_EVENT*);
SA_ANSWER* handleResend(SA_EVENT*);
SA_ANSWER* handleNoConnection(SA_EVENT*);
SA_ANSWER* handleTimeout(SA_EVENT*);
SA_ANSWER* handlecardname(SA_EVENT*);

} // namespace tarq
