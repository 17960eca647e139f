// Socket error numbers in the Windows Sockets numbering (10000 + the BSD errno, 11001-11004
// for resolver failures). Both socket layers and the stored texts rely on these numbers, so
// the native errno of Linux is translated once, here.
#pragma once

namespace platform {

constexpr int kWsaEINTR = 10004;
constexpr int kWsaEBADF = 10009;
constexpr int kWsaEACCES = 10013;
constexpr int kWsaEFAULT = 10014;
constexpr int kWsaEINVAL = 10022;
constexpr int kWsaEMFILE = 10024;
constexpr int kWsaEWOULDBLOCK = 10035;
constexpr int kWsaEINPROGRESS = 10036;
constexpr int kWsaENOTSOCK = 10038;
constexpr int kWsaEADDRINUSE = 10048;
constexpr int kWsaECONNABORTED = 10053;
constexpr int kWsaECONNRESET = 10054;
constexpr int kWsaENOBUFS = 10055;
constexpr int kWsaENOTCONN = 10057;
constexpr int kWsaETIMEDOUT = 10060;
constexpr int kWsaECONNREFUSED = 10061;
constexpr int kWsaSYSNOTREADY = 10091;
constexpr int kWsaNOTINITIALISED = 10093;
constexpr int kWsaHOST_NOT_FOUND = 11001;
constexpr int kWsaTRY_AGAIN = 11002;
constexpr int kWsaNO_RECOVERY = 11003;
constexpr int kWsaNO_DATA = 11004;

// Linux errno -> Windows Sockets number. 0 stays 0; an errno without a counterpart becomes
// 10000 + errno so that it still reads as "some socket error" and never as success.
int WsaFromErrno(int err);

// getaddrinfo() result (EAI_*) -> 0 or 11001..11004.
int WsaFromGaiError(int gaiError, int savedErrno);

// Per-thread "last socket error", as the socket wrappers of this layer set it.
int LastSocketError();
void SetLastSocketError(int wsaError);

} // namespace platform
