#include "InetDialect.h"

namespace platform::inet {

std::unique_ptr<Dialect> Dialect::For(const Site& site, const QString& trustedCertificate,
                                      const SystemCertificates* authorities,
                                      const QString& knownHostsFile, SshLogin* login,
                                      const SftpSession* session) {
    if (site.protocol == Protocol::Sftp)
        return MakeSftpDialect(site, knownHostsFile, login, session);
    return MakeFtpDialect(site, trustedCertificate, authorities);
}

} // namespace platform::inet
