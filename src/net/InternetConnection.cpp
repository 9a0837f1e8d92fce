#include "net/InternetConnection.h"

#include "foundation/Masterlog.h"
#include "foundation/StopWatch.h"
#include "net/HttpDownloaderBase.h"
#include "platform/Env.h"
#include "platform/TextCodec.h"

namespace nimbrel {

bool CheckInternetConnection(const std::string& proxy, std::uint32_t timeoutMs, IConnectionCheckStop* stop) {
  LogF(30, L"CheckInternetConnection - started ...");
  for (const std::wstring& host : platform::Env::Current()->ConnectivityProbeHosts()) {
    const std::wstring address = L"http://" + host;
    CHttpDownloaderBase probe(proxy, std::wstring());
    probe.timeoutMs = timeoutMs;
    if (probe.RequestHead(platform::ToWindows1252(address))) {
      LogF(30, L"CheckInternetConnection - site ok: %s", address);
      return true;
    }
    LogF(20, L"CheckInternetConnection - site failed: %s", address);
    if (stop && !stop->ContinueChecking()) {
      LogF(50, L"CheckInternetConnection: will break checking for");
      break;
    }
  }
  LogF(20, L"CheckInternetConnection - Internet is DOWN");
  return false;
}

bool CheckInternetAvailable(std::wstring_view proxy) {
  StopWatch scope(L"CheckInternetAvailable");
  return CheckInternetConnection(platform::ToWindows1252(proxy), 10000, nullptr);
}

}  // namespace nimbrel
