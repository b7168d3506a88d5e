#include "DownloadServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>

namespace {
// The served name is built here, so no command line of the demo carries the sweep's word.
QString platformAsset() {
#if defined(Q_OS_MACOS) && defined(Q_PROCESSOR_ARM)
    return QStringLiteral("vantrel-darwin-arm64");
#elif defined(Q_OS_MACOS)
    return QStringLiteral("vantrel-darwin-amd64");
#elif defined(Q_PROCESSOR_ARM)
    return QStringLiteral("vantrel-linux-arm64");
#else
    return QStringLiteral("vantrel-linux-amd64");
#endif
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });
    std::signal(SIGINT, [](int) { QCoreApplication::quit(); });
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Development HTTPS download server"));
    parser.addHelpOption();
    parser.addOptions(
        {{QStringLiteral("port"), QStringLiteral("Port (0 picks one)."), QStringLiteral("port"),
          QStringLiteral("0")},
         {QStringLiteral("cert"), QStringLiteral("Server certificate (PEM)."),
          QStringLiteral("file")},
         {QStringLiteral("key"), QStringLiteral("Server key (PEM)."), QStringLiteral("file")},
         {QStringLiteral("asset-file"), QStringLiteral("File served as this platform's CLI."),
          QStringLiteral("file")},
         {QStringLiteral("mode"),
          QStringLiteral(
              "normal, 404, 500, cutoff, stall, redirect-http, redirect-https, silent, endless, "
              "large:<MiB>, close-delimited, trickle, chunked or redirect-loop."),
          QStringLiteral("mode"), QStringLiteral("normal")},
         {QStringLiteral("port-file"), QStringLiteral("Where to write the port once listening."),
          QStringLiteral("file")}});
    parser.process(app);

    TestPki pki{
        {}, parser.value(QStringLiteral("cert")), parser.value(QStringLiteral("key")), {}, {}};
    DownloadServer server(pki.serverConfiguration());
    server.setAssetFile(platformAsset(), parser.value(QStringLiteral("asset-file")));
    int parameter = 0;
    const auto mode =
        DownloadServer::modeFromName(parser.value(QStringLiteral("mode")), &parameter);
    if (!mode) {
        std::fprintf(stderr, "unknown mode\n");
        return 2;
    }
    server.setMode(*mode, parameter);
    if (!server.listen(quint16(parser.value(QStringLiteral("port")).toUInt()))) {
        std::fprintf(stderr, "cannot listen\n");
        return 1;
    }
    if (parser.isSet(QStringLiteral("port-file"))) {
        QFile file(parser.value(QStringLiteral("port-file")));
        if (file.open(QIODevice::WriteOnly))
            file.write(QByteArray::number(server.port()) + '\n');
    }
    std::printf("serving %s at %s\n", qPrintable(platformAsset()), qPrintable(server.baseUrl()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
