#include "InetDialect.h"

namespace platform::inet {

std::unique_ptr<Dialect> Dialect::For(const Site& site, const QString& trustedCertificate,
                                      const SystemCertificates* authorities,
                                      const QString& knownHostsFile, SshLogin* login) {
    if (site.protocol == Protocol::Sftp)
        return MakeSftpDialect(site, knownHostsFile, login);
    return MakeFtpDialect(site, trustedCertificate, authorities);
}

} // namespace platform::inet
