// Placeholder so the core links while the DMSS command set is written; replaced by it.
#include "diag/phone_link.h"

namespace pellan {
void CPhoneLink::BuildDloadPacket() { m_sendBuf[m_sendLen++] = m_request.code; }
bool CPhoneLink::ParseDloadReply() { return true; }
}  // namespace pellan
