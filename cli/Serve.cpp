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
  serve.allowHosts = o.allowHosts;
  serve.users = o.users.value_or("");
  serve.certificate = o.tlsCert.value_or("");
  serve.key = o.tlsKey.value_or("");
  serve.insecureOpen = o.insecureOpen;
  InstallInterruptHandler();
  web::FactoryServer server(serve);
  std::string error;
  if (!server.Start(error)) {
    return context.Fail(kExitFile, context.T("the factory view: %1", {Printable(error)}));
  }
  const std::string host =
      serve.host.find(':') != std::string::npos ? "[" + serve.host + "]" : serve.host;
  const std::string address = std::string(server.tls() ? "https" : "http") + "://" + host + ":" +
                              std::to_string(server.port()) + "/";
  const std::string store = ProductionStore::Printable(serve.store);
  std::string who;
  const char* audience = "";
  switch (server.audience()) {
    case web::Audience::kThisComputer:
      audience = "this-computer";
      who = context.T("anyone on this computer may read it");
      break;
    case web::Audience::kUsers:
      audience = "users";
      who = context.T("only the %1 users of %2 may read it, signed in",
                      {std::to_string(server.users()), serve.users});
      break;
    case web::Audience::kAnyone:
      audience = "anyone";
      who = context.T("ANYONE who reaches this address may read it (--insecure-open)");
      break;
  }
  context.console.Emit(Json("serving")
                           .Add("url", address)
                           .Add("store", store)
                           .Add("audience", audience)
                           .Add("users", server.users()));
  context.console.Say(
      context.T("the factory view of %1 is at %2 (Ctrl-C ends it)", {store, address}) + "; " + who);
  while (!Interrupted())
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server.Stop();
  return kExitOk;
}

}  // namespace otp::cli
