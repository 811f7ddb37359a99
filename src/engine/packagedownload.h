#pragma once

#include "httprequestqueue.h"
#include "httpresponseheader.h"
#include "packagefile.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVector>

#include <functional>
#include <memory>

class Folder;
class UpdateEntry;

/*
 * Downloads the package of every update into the download folder: HEAD requests first, to
 * learn the sizes for one percentage over all packages, then one GET per package in catalogue
 * order, resumed after an interruption (a stall, a transfer slower than the minimum rate, a
 * body shorter than the size the server announced) and started again from zero when the
 * server's part belongs to another version of the file. No package grows past the size the
 * update server announced for it (or, without one, the size cap). Each package is checked the
 * moment it is complete; a resumed one that fails the check is fetched once more whole. The
 * first failure, and a cancel, remove every package the run has stored; a failure is
 * reported as a text.
 *
 * Where a delta is offered and may apply, it is fetched instead of the whole package, checked
 * and applied as it ends. A delta that cannot be used (its link fails, it fails its check, or it
 * does not apply) is never fetched again: the whole package is fetched in its place at once,
 * and the total the percentage counts grows by its size.
 */
class PackageDownload : public QObject
{
    Q_OBJECT

public:
    enum class State {
        /// Not started, or every package fetched.
        Idle,
        /// HEAD requests learn the sizes.
        Sizing,
        /// GET requests fetch the packages.
        Downloading,
        /// abortDownload() ended the run; nothing more is reported.
        Aborted,
    };

    /// Why the complete file of entry, whose PackageHash is fileHash, must not be kept; empty
    /// when it may.
    using Check = std::function<QString(const UpdateEntry &entry, const QByteArray &fileHash)>;

    /// The bounds of every transfer; tests shorten them.
    struct Limits
    {
        /// How long a transfer may receive nothing, in milliseconds.
        int transferTimeout = HttpRequestQueue::DefaultTransferTimeout;
        /// The slowest transfer kept up: minimumRate bytes a second over rateWindow ms.
        qint64 minimumRate = TransferWatchdog::DefaultMinimumRate;
        int rateWindow = TransferWatchdog::DefaultRateWindow;
        /// The most a package may hold when the update server announced no size.
        qint64 sizeCap = builtInSizeCap();
    };

    /// What is done with the deltas offered beside the packages; without it none is used.
    struct Deltas
    {
        /// Whether the delta offered with entry may apply to what is installed.
        std::function<bool(const UpdateEntry &entry)> usable;
        /// Why the complete delta of entry, whose PackageHash is fileHash, must not be used.
        Check check;
        /// Turns the checked delta of entry, stored at path, into its package folder; false
        /// when it does not apply.
        std::function<bool(const UpdateEntry &entry, const QString &path)> apply;
    };

    /// The size cap the updater was built with (ORVI_DOWNLOAD_SIZE_CAP).
    static qint64 builtInSizeCap();

    /// A download into downloadFolder (which ends with a slash); check judges each package.
    PackageDownload(QString downloadFolder, Check check, Limits limits, QObject *parent = nullptr);
    ~PackageDownload() override;

    /// Stores the packages through folder, the download folder as start-up opened and checked
    /// it; without one, the download opens the folder itself when it starts.
    void setFolder(std::shared_ptr<const Folder> folder);
    /// Uses deltas as they say.
    void setDeltas(Deltas deltas) { m_deltas = std::move(deltas); }

    /// Starts fetching the package of every entry of updates (not owned; they must outlive the
    /// download). A link that cannot be downloaded is reported before any request is sent.
    void begin(const QVector<UpdateEntry *> &updates);
    /// Ends the run and removes the packages it stored; the interrupted request reports no
    /// failure.
    void abort();
    State state() const { return m_state; }

    /// The local file of a package: downloadFolder, "/", then the link's path.
    static QString packageFileName(const QString &downloadFolder, const QUrl &link);
    /// Why link cannot be downloaded into downloadFolder, for the user; empty when it can.
    static QString refusalOf(const QString &downloadFolder, const QUrl &link);

signals:
    /// The percentage over all packages.
    void downloadProgress(int done);
    /// The name of the update whose package is about to be fetched.
    void downloadFile(const QString &name);
    /// Every package is fetched and passed its check.
    void downloadFinished();
    /// The run failed, for the reason str; the packages it stored are removed.
    void error(const QString &str);

private:
    void requestFinished(int id, bool failed);
    void dataReadProgress(qint64 done, qint64 total);
    void responseHeaderReceived(const HttpResponseHeader &resp);
    /// The link of entry index as the server wrote it, its 8-bit text read byte for byte: its
    /// delta's while the delta is used.
    QString writtenLink(int index) const;
    QString writtenLink(int index, bool delta) const;
    /// The link of entry index as a URL.
    QUrl packageLink(int index) const;
    /// Why a link of entry index cannot be downloaded; empty when it can.
    QString linkRefusal(int index, bool delta) const;
    /// Fetches the whole package of the current entry in place of its delta.
    void fallBack();
    /// True unless written, read as link, names a port that link does not keep.
    static bool portReadsBack(const QString &written, const QUrl &link);
    /// Queues a change of host to the link's host, with its scheme and port.
    void queueHostOf(const QUrl &link);
    /// Names package m_current and starts its download.
    void fetchPackage();
    /// Opens the file of package m_current from its start and queues its GET.
    void startPackage();
    /// Queues the GET of package m_current from byte m_resumeFrom on.
    void queueGet();
    /// Notes the validator of a GET's answer, and starts the file again when a resumed
    /// request is answered with the whole file.
    void takeGetHeader(const HttpResponseHeader &resp);
    /// Asks again for the current package after its transfer was cut short: for the rest of
    /// it when the server named a validator, else for all of it.
    void resumePackage();
    /// Reports text and removes the packages this run has stored so far.
    void failDownload(const QString &text);
    /// Removes the packages this run has stored so far, the partial one included.
    void removeStoredPackages();
    /// Removes the stored file of package index.
    void removePackage(int index);
    /// a + b, each and the sum held below a bound at which a percentage cannot overflow.
    static qint64 boundedSum(qint64 a, qint64 b);

    static constexpr int MaxResumes = 3;

    QString m_downloadFolder;
    /// The download folder as opened; package files are reached only through it.
    std::shared_ptr<const Folder> m_folder;
    Check m_check;
    Deltas m_deltas;
    /// Per update: its delta is used (and, once fetched, applied).
    QVector<bool> m_viaDelta;
    qint64 m_sizeCap;
    HttpRequestQueue m_http;
    PackageFile m_packageFile;
    QVector<UpdateEntry *> m_updates;
    State m_state = State::Idle;
    int m_current = 0;
    int m_requestId = -1;
    // 64-bit, so that packages over 2 GiB are counted correctly. m_bytesDone counts the
    // packages already complete, m_lastDone the one being fetched.
    qint64 m_lastDone = 0;
    qint64 m_bytesDone = 0;
    qint64 m_bytesTotal = 0;
    // Resuming the current package.
    int m_resumes = 0;
    qint64 m_resumeFrom = 0;
    QByteArray m_validator;
    // The file holds a part that a resumed request appended.
    bool m_resumedPart = false;
    // The package was fetched once more whole after it failed its check.
    bool m_refetched = false;
};
