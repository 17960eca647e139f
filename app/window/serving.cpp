// The server's start and what it tells at the start, and the save at the end, which the core
// carries out on its files.
#include "app/window/main_window.h"

#include <cstdio>

namespace app {

void TForm1::StartServer() {
    try {
        core_->Start();
        ReportListening();
    } catch (const std::exception& e) {
        std::string where = options_.srvAddr + " port " + options_.srvPort;
        std::fprintf(stderr, "vantrosmtp: cannot listen on %s: %s\n", where.c_str(), e.what());
        if (std::string(e.what()).find("10013") != std::string::npos)
            std::fprintf(
                stderr,
                "vantrosmtp: ports below 1024 need a privilege; grant it once "
                "with: sudo setcap cap_net_bind_service=+ep %s\n",
                ((options_.executableDir.empty() ? options_.programDir : options_.executableDir) +
                 "vantrosmtp")
                    .c_str());
        options_.showError(QString::fromStdString(e.what()));
    }
}

void TForm1::ReportListening() {
    std::fprintf(stderr, "vantrosmtp: listening on %s port %s; files in %s; %s\n",
                 options_.srvAddr.c_str(), options_.srvPort.c_str(), options_.programDir.c_str(),
                 core_->Policy().remoteClients ? "other machines may relay"
                                               : "only this machine may relay");
    std::string ipv6 = core_->ListeningIpv6();
    if (!ipv6.empty())
        std::fprintf(stderr, "vantrosmtp: listening on [%s] port %s too\n", ipv6.c_str(),
                     options_.srvPort.c_str());
    else if (!core_->Ipv6Problem().empty())
        std::fprintf(stderr, "vantrosmtp: not listening on IPv6 (%s); IPv4 only\n",
                     core_->Ipv6Problem().c_str());
    if (std::string problem = core_->SpoolProblem(); !problem.empty())
        std::fprintf(stderr,
                     "vantrosmtp: the spool folder %s is not used: %s; mail is refused "
                     "with 451 until it is a folder of yours alone\n",
                     core_->SpoolFolder().c_str(), problem.c_str());
    if (core_->NoAccountSetUp())
        std::fprintf(stderr,
                     "vantrosmtp: 尚未设置发送帐户 (no sending account set up yet): mail would go "
                     "to the placeholder %s and fail; add an account in the window (增加帐户) "
                     "or, with the program stopped, in %sbrontalhao.ini\n",
                     kDefaultSmtpHost, options_.programDir.c_str());
}

bool TForm1::FormDestroy() {
    if (destroyed_) return true;
    destroyed_ = true;
    // Outcomes that come in while deliveries finish are listed before the lists are saved.
    core_->Shutdown();
    std::string unwritten = core_->SaveFiles();
    if (unwritten.empty()) return true;
    std::fprintf(stderr, "vantrosmtp: unable to write to %s\n", unwritten.c_str());
    if (!signalled_) options_.showError(QString::fromStdString("Unable to write to " + unwritten));
    return false;
}

} // namespace app
