// Placeholder so the core links while the diagnostic command set is written; replaced by it.
#include "diag/phone_link.h"

namespace pellan {
void CPhoneLink::BuildDiagPacket() { m_sendBuf[m_sendLen++] = m_request.code; }
bool CPhoneLink::ParseDiagReply() { return true; }
}  // namespace pellan
