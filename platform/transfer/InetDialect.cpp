#include "InetDialect.h"

namespace platform::inet {

std::unique_ptr<Dialect> Dialect::For(const Site& site, const QString& trustedCertificate,
                                      const QString& knownHostsFile) {
    if (site.protocol == Protocol::Sftp)
        return MakeSftpDialect(site, knownHostsFile);
    return MakeFtpDialect(site, trustedCertificate);
}

} // namespace platform::inet
