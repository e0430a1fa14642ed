// serve: the factory view of the store, in a browser, until Ctrl-C.

#include <chrono>
#include <thread>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/Interrupt.h"
#include "store/ProductionStore.h"
#include "web/FactoryServer.h"

namespace otp::cli {

int RunServe(Context& context) {
  const Options& o = context.options;
  web::ServeOptions serve;
  serve.store = context.StoreLocation();
  if (o.listen) {
    // ADDR:PORT; the address may be an IPv6 one in brackets.
    const std::string& listen = *o.listen;
    const std::size_t colon = listen.rfind(':');
    std::string host = colon == std::string::npos ? std::string() : listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    int port = -1;
    if (colon != std::string::npos) {
      try {
        std::size_t used = 0;
        port = std::stoi(listen.substr(colon + 1), &used);
        if (used != listen.size() - colon - 1) port = -1;
      } catch (const std::exception&) {
        port = -1;
      }
    }
    if (host.empty() || port < 0 || port > 65535) {
      return context.Fail(kExitUsage,
                          context.T("--listen %1: expected ADDRESS:PORT, such as 0.0.0.0:8047",
                                    {Printable(listen)}));
    }
    serve.host = host;
    serve.port = port;
  }
  InstallInterruptHandler();
  web::FactoryServer server(serve);
  std::string error;
  if (!server.Start(error)) {
    return context.Fail(kExitFile, context.T("the factory view: %1", {error}));
  }
  const std::string host =
      serve.host.find(':') != std::string::npos ? "[" + serve.host + "]" : serve.host;
  const std::string address = "http://" + host + ":" + std::to_string(server.port()) + "/";
  context.console.Emit(
      Json("serving").Add("url", address).Add("store", ProductionStore::Printable(serve.store)));
  context.console.Say(context.T("the factory view of %1 is at %2 (Ctrl-C ends it)",
                                {ProductionStore::Printable(serve.store), address}));
  while (!Interrupted())
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server.Stop();
  return kExitOk;
}

}  // namespace otp::cli
