// Placeholder so the core links while the streaming command set is written; replaced by it.
#include "diag/phone_link.h"

namespace pellan {
void CPhoneLink::BuildStreamPacket() { m_sendBuf[m_sendLen++] = m_request.code; }
bool CPhoneLink::ParseStreamReply() { return true; }
bool CPhoneLink::ScanStreamReplies() { return true; }
}  // namespace pellan
