#include "app/CWriterDlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QSysInfo>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>
#include <system_error>

#include "app/CAboutDlg.h"
#include "app/JobDialog.h"
#include "core/AtomicFile.h"
#include "core/Texts.h"
#include "core/Utf8Path.h"
#include "link/QtSerialPort.h"
#include "ops/Production.h"
#include "res/StringTable.h"
#include "res/Templates.h"
#include "settings/Settings.h"
#include "ui/DialogBuilder.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace otp {

namespace {

constexpr int kMaxBoxChars = 7;  // the Start, End and Size boxes
constexpr unsigned kSysCommandAbout = 0x0010;

QString Q(const std::string& utf8) {
  return QString::fromStdString(utf8);
}
std::string S(const QString& text) {
  return text.toStdString();
}

std::string FormatAddress(std::int32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04XH", static_cast<unsigned>(value));
  return text;
}

std::unique_ptr<Clock> OwnClock(const WriterEnvironment& environment) {
  if (environment.clock) return nullptr;
  return std::make_unique<SystemClock>();
}

std::unique_ptr<SerialPortFactory> OwnPorts(const WriterEnvironment& environment) {
  if (environment.ports) return nullptr;
  return std::make_unique<QtSerialPortFactory>();
}

}  // namespace

CWriterDlg::CWriterDlg(QWidget* parent, WriterEnvironment environment)
    : QDialog(parent),
      ownClock_(OwnClock(environment)),
      ownPorts_(OwnPorts(environment)),
      clock_(environment.clock ? *environment.clock : *ownClock_),
      ports_(environment.ports ? *environment.ports : *ownPorts_),
      language_(environment.language.value_or(SystemLanguage())),
      startProgram_(environment.startProgram),
      m_dlgProgress(0, language_, this),
      reporter_(m_dlgProgress, clock_, language_, [this] { ReturnToIdle(); }),
      m_writer(m_dlgProgress, reporter_, clock_) {
  m_hIcon = ui::AppIcon();
  const std::string programDir = environment.programDir.empty()
                                     ? S(QCoreApplication::applicationDirPath())
                                     : environment.programDir;
  OnInitDialog(environment.locations ? *environment.locations
                                     : LocateFiles(PlaceFactsOf(programDir)));
}

CWriterDlg::~CWriterDlg() = default;

void CWriterDlg::BuildWindow() {
  setObjectName(QStringLiteral("102"));
  setWindowTitle(QString::fromUtf8(res::MainDialogTemplate().caption));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                 Qt::CustomizeWindowHint);
  setAcceptDrops(true);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  auto* menuBar = new QMenuBar(this);
  std::map<std::string, QMenu*> menus;
  for (const res::MenuCommand& command : res::MainMenu()) {
    QMenu*& menu = menus[command.menu];
    if (!menu) menu = menuBar->addMenu(QString::fromUtf8(command.menu));
    QAction* action = menu->addAction(QString::fromUtf8(command.item));
    action->setObjectName(ui::ControlName(command.commandId));
    commands_[command.commandId] = action;
  }
  layout->setMenuBar(menuBar);

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  controls_ = ui::BuildControls(client, res::MainDialogTemplate());
  layout->addWidget(client);

  for (const res::ListItems& list : res::MainDialogLists()) {
    for (const char* item : list.items)
      List(list.controlId)->addItem(QString::fromUtf8(item));
  }
  // No button is the default one: Enter goes to a focused button, else ends the window.
  for (QPushButton* button : client->findChildren<QPushButton*>()) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  for (const int id : {res::id::kStart, res::id::kEnd, res::id::kSize}) {
    Edit(id)->setMaxLength(kMaxBoxChars);
  }
  Edit(res::id::kHexFile)->installEventFilter(this);
}

void CWriterDlg::BindMessageMap() {
  connect(Button(res::id::kProgramVerify), &QPushButton::clicked, this,
          [this] { OnProgramVerify(); });
  connect(Button(res::id::kReadCompare), &QPushButton::clicked, this, [this] { OnReadCompare(); });
  connect(Button(res::id::kBlankCheck), &QPushButton::clicked, this, [this] { OnBlankCheck(); });
  connect(Button(res::id::kDownload), &QPushButton::clicked, this, [this] { OnDownload(); });
  // "activated" is the operator's choice, also of the entry already selected; changes
  // made by the program do not raise it.
  connect(List(res::id::kCpu), &QComboBox::activated, this, [this] { OnSelchangeCpu(); });
  connect(List(res::id::kSpeed), &QComboBox::activated, this, [this] { OnSelchangeSpeed(); });
  connect(List(res::id::kComPort), &QComboBox::activated, this, [this] { OnSelchangeComPort(); });
  connect(commands_.at(res::id::kMenuAbout), &QAction::triggered, this, [this] { OnAbout(); });
  connect(commands_.at(res::id::kMenuHexFileSelect), &QAction::triggered, this,
          [this] { OnHexFileSelect(); });
  connect(commands_.at(res::id::kMenuExit), &QAction::triggered, this, [this] { OnExit(); });
  connect(commands_.at(res::id::kMenuCheckAgainstDevice), &QAction::triggered, this,
          [this] { OnCheckAgainstDevice(); });
  connect(commands_.at(res::id::kMenuReadDeviceToFile), &QAction::triggered, this,
          [this] { OnReadDeviceToFile(); });
  connect(commands_.at(res::id::kMenuProductionStation), &QAction::triggered, this,
          [this] { OnProductionStation(); });
  connect(commands_.at(res::id::kMenuSaveJob), &QAction::triggered, this, [this] { OnSaveJob(); });
}

void CWriterDlg::OnInitDialog(const FileLocations& locations) {
  setup_.emplace(locations);  // where the files lie; the tool tips need it at once
  BuildWindow();
  BindMessageMap();
  UpdateData(false);  // the constructor's values, shown once
  setWindowIcon(m_hIcon);
  m_writer.link.Close();
  m_writer.m_strModuleDir = setup_->moduleDir();
  m_writer.monitorDirs = setup_->monitorDirs();
  LoadSettings();
  GetChipSpec();
  FormatAreaBoxes();
  Button(res::id::kBlankCheck)->setEnabled(false);
  Button(res::id::kProgramVerify)->setEnabled(false);
  Button(res::id::kReadCompare)->setEnabled(false);
  SetReadyCommands(false);
  UpdateData(false);
  // A stored port that names no entry (COM=9, COM=0) leaves the list showing another one:
  // the port shown is the port a Download opens, and the next save writes it.
  if (FindComEntry(m_strComPort) < 0) m_strComPort = S(List(res::id::kComPort)->currentText());
  List(res::id::kCpu)->setFocus();
}

QPushButton* CWriterDlg::Button(int id) const {
  return static_cast<QPushButton*>(Control(id));
}
QComboBox* CWriterDlg::List(int id) const {
  return static_cast<QComboBox*>(Control(id));
}
QLineEdit* CWriterDlg::Edit(int id) const {
  return static_cast<QLineEdit*>(Control(id));
}

bool CWriterDlg::UpdateData(bool saveAndValidate) {
  struct Box {
    int id;
    std::string* member;
  };
  const Box boxes[] = {{res::id::kStart, &m_strStart},
                       {res::id::kEnd, &m_strEnd},
                       {res::id::kSize, &m_strSize},
                       {res::id::kHexFile, &m_strHexFile}};
  if (saveAndValidate) {
    for (const Box& box : boxes) {
      const QString text = Edit(box.id)->text();
      if (box.id != res::id::kHexFile && text.size() > kMaxBoxChars) {
        Edit(box.id)->setFocus();
        return false;
      }
      *box.member = S(text);
    }
    m_nCpu = List(res::id::kCpu)->currentIndex();
    m_nRate = List(res::id::kSpeed)->currentIndex();
    QComboBox* com = List(res::id::kComPort);
    m_strComPort = com->currentIndex() >= 0 ? S(com->currentText()) : std::string();
    return true;
  }
  for (const Box& box : boxes)
    Edit(box.id)->setText(Q(*box.member));
  // An index that names no entry leaves the list without a selection.
  List(res::id::kCpu)->setCurrentIndex(m_nCpu);
  List(res::id::kSpeed)->setCurrentIndex(m_nRate);
  const int comEntry = FindComEntry(m_strComPort);
  if (comEntry >= 0) List(res::id::kComPort)->setCurrentIndex(comEntry);
  UpdateComToolTips();
  return true;
}

int CWriterDlg::FindComEntry(const std::string& name) const {
  QComboBox* com = List(res::id::kComPort);
  const QString prefix = Q(name);
  for (int i = 0; i < com->count(); ++i) {
    if (com->itemText(i).startsWith(prefix, Qt::CaseInsensitive)) return i;
  }
  return -1;
}

void CWriterDlg::UpdateComToolTips() {
  QComboBox* com = List(res::id::kComPort);
  std::vector<std::string> names;
  for (int i = 0; i < com->count(); ++i)
    names.push_back(S(com->itemText(i)));
  const std::vector<std::string> devices = setup_->Devices(names);
  for (int i = 0; i < com->count(); ++i) {
    const std::string& device = devices[static_cast<std::size_t>(i)];
    com->setItemData(i, device.empty() ? QString() : Q(device), Qt::ToolTipRole);
  }
  com->setToolTip(com->currentIndex() >= 0
                      ? com->itemData(com->currentIndex(), Qt::ToolTipRole).toString()
                      : QString());
}

void CWriterDlg::FormatAreaBoxes() {
  m_strStart = FormatAddress(m_writer.spec.m_nStartAddr);
  m_strEnd = FormatAddress(m_writer.spec.m_nEndAddr);
  m_strSize = FormatAddress(m_writer.spec.m_nSize);
}

void CWriterDlg::ApplyIdleSet() {
  Button(res::id::kDownload)->setEnabled(true);
  Button(res::id::kBlankCheck)->setEnabled(false);
  Button(res::id::kProgramVerify)->setEnabled(false);
  Button(res::id::kReadCompare)->setEnabled(false);
  List(res::id::kComPort)->setEnabled(true);
  SetReadyCommands(false);
}

void CWriterDlg::ApplyReadySet() {
  Button(res::id::kBlankCheck)->setEnabled(true);
  Button(res::id::kProgramVerify)->setEnabled(true);
  Button(res::id::kReadCompare)->setEnabled(true);
  SetReadyCommands(true);
}

void CWriterDlg::SetReadyCommands(bool enabled) {
  commands_.at(res::id::kMenuCheckAgainstDevice)->setEnabled(enabled);
  commands_.at(res::id::kMenuReadDeviceToFile)->setEnabled(enabled);
}

void CWriterDlg::ReturnToIdle() {
  m_writer.link.Close();
  ApplyIdleSet();
}

void CWriterDlg::GetChipSpec() {
  QComboBox* speed = List(res::id::kSpeed);
  speed->clear();
  const ChipRow* row = FindChip(S(List(res::id::kCpu)->itemText(m_nCpu)));
  if (row) {
    m_writer.spec.Assign(*row);
    for (const std::string_view label : row->speeds) {
      speed->addItem(QString::fromUtf8(label.data(), static_cast<qsizetype>(label.size())));
    }
  } else {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(res::kAppTitle),
                    QStringLiteral("System error in GetChipSpec"), QMessageBox::Ok, this);
    box.exec();
  }
}

void CWriterDlg::LoadSettings() {
  const RecentSettings settings = setup_->Load();
  m_nCpu = settings.cpu;
  m_nRate = settings.rate;
  m_strComPort = ComName(settings.com);
  m_strHexFile = settings.hexFile;
}

void CWriterDlg::SaveSettings() {
  if (m_nCpu < 0) m_nCpu = 0;
  if (m_nRate < 0) m_nRate = 0;
  RecentSettings settings;
  settings.cpu = m_nCpu;
  settings.rate = m_nRate;
  settings.com = List(res::id::kComPort)->currentIndex() + 1;
  settings.hexFile = m_strHexFile;
  bool unreadable = false;
  if (!setup_->Save(settings, &unreadable) && unreadable && !unreadableSettingsShown_) {
    // Replacing it would lose what it holds (its ports among them): it stays as it is,
    // and the operator is told once.
    unreadableSettingsShown_ = true;
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(res::kAppTitle),
                    Q(Tr(language_,
                         "The settings file %1 could not be read: it is left as it is, and "
                         "the choices made here are not saved.",
                         {Utf8FromPath(setup_->settingsFile())})),
                    QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("UnreadableSettings"));
    box.exec();
  }
}

void CWriterDlg::OnSysCommand(unsigned commandId, long /*position*/) {
  if ((commandId & 0xFFF0) == kSysCommandAbout) OnAbout();
}

#ifdef Q_OS_WIN
bool CWriterDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
  const MSG* msg = static_cast<const MSG*>(message);
  if (msg->message == WM_SYSCOMMAND && (msg->wParam & 0xFFF0) == kSysCommandAbout) {
    OnSysCommand(static_cast<unsigned>(msg->wParam), static_cast<long>(msg->lParam));
    *result = 0;
    return true;
  }
  return QDialog::nativeEvent(eventType, message, result);
}
#endif

bool CWriterDlg::RunInProgressWindow(const char* caption, const std::function<void()>& operation) {
  if (!m_dlgProgress.Create()) return false;
  m_dlgProgress.SetWindowText(caption);
  operation();
  m_dlgProgress.DestroyWindow();
  return true;
}

void CWriterDlg::OnDownload() {
  bool done = false;
  RunInProgressWindow("Download", [&] {
    done = m_writer.Download(ports_, setup_->Device(m_strComPort), m_nRate) == Outcome::kOk;
    if (done) ApplyReadySet();
    UpdateData(false);
  });
  // The focus can go to the Hex File box only once the window is enabled again.
  if (done) Edit(res::id::kHexFile)->setFocus();
}

void CWriterDlg::OnBlankCheck() {
  RunInProgressWindow("BlankCheck", [this] { m_writer.BlankCheck(); });
}

void CWriterDlg::OnProgramVerify() {
  UpdateData(true);
  RunInProgressWindow("Program+Verify", [this] { m_writer.RunProgramVerify(m_strHexFile); });
}

void CWriterDlg::OnReadCompare() {
  UpdateData(true);
  RunInProgressWindow("Read+Compare", [this] { m_writer.RunReadCompare(m_strHexFile); });
}

void CWriterDlg::OnCheckAgainstDevice() {
  UpdateData(true);
  RunInProgressWindow("Check Against Device", [this] {
    BurnPlan plan;
    m_writer.RunCheckAgainstDevice(m_strHexFile, plan);
  });
}

void CWriterDlg::OnReadDeviceToFile() {
  struct Choice {
    const char* filter;
    const char* suffix;
    ImageFormat format;
  };
  static constexpr Choice kChoices[] = {
      {"S format file (*.mhx ; *.cnv ; *.ahx)", "mhx", ImageFormat::kSRecord},
      {"Intel HEX (*.hex ; *.ihx)", "hex", ImageFormat::kIntelHex},
      {"Binary (*.bin)", "bin", ImageFormat::kBinary},
  };
  QStringList filters;
  for (const Choice& choice : kChoices)
    filters << QString::fromUtf8(choice.filter);
  QFileDialog dialog(this, QString(), QDir::currentPath());
  dialog.setObjectName(QStringLiteral("ReadDeviceToFile"));
  dialog.setNameFilters(filters);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const int chosen = std::max<qsizetype>(0, filters.indexOf(dialog.selectedNameFilter()));
  // A name typed without a suffix takes the suffix of the format chosen.
  QString file = dialog.selectedFiles().front();
  if (QFileInfo(file).suffix().isEmpty()) file += "." + QString::fromUtf8(kChoices[chosen].suffix);
  const std::string path = S(QDir::toNativeSeparators(file));
  RunInProgressWindow("Read Device to File",
                      [&] { m_writer.ReadDeviceToFile(path, kChoices[chosen].format, false); });
}

void CWriterDlg::OnProductionStation() {
  UpdateData(true);
  SaveSettings();  // the station opens with these choices
  ReturnToIdle();  // and needs the port
  const std::vector<std::string> arguments = {"--station"};
  const bool started = startProgram_
                           ? startProgram_(arguments)
                           : QProcess::startDetached(QCoreApplication::applicationFilePath(),
                                                     {QStringLiteral("--station")});
  if (!started) {
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(res::kAppTitle),
                    Q(Tr(language_, "The production station could not be started.")),
                    QMessageBox::Ok, this);
    box.exec();
  }
}

void CWriterDlg::OnSaveJob() {
  UpdateData(true);
  JobDialog fields(language_, this);
  if (fields.exec() != QDialog::Accepted) return;
  auto warn = [this](const std::string& text) {
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(res::kAppTitle), Q(text),
                    QMessageBox::Ok, this);
    box.exec();
  };
  JobRequest request;
  std::string error;
  if (!fields.Fill(request, error)) return warn(error);
  const ChipRow* model = ModelAt(m_nCpu) ? ModelAt(m_nCpu) : ModelAt(0);
  request.model = model;
  request.rate = std::clamp(m_nRate, 0, 2);
  // The Hex File box names files as the window opens them: from the program's folder.
  request.file = m_strHexFile;
  if (!request.file.empty() && !PathFromUtf8(request.file).is_absolute()) {
    request.file = moduleDir() + request.file;
  }
  request.created = IsoNow(clock_);
  request.host = S(QSysInfo::machineHostName());
  JobMade made = MakeJob(request, language_);
  if (!made.problem.empty()) return warn(made.problem);
  QFileDialog dialog(this, QString(), QDir::currentPath(),
                     Q(Tr(language_, "Jobs (*.otpjob);;all files (*)")));
  dialog.setObjectName(QStringLiteral("SaveJobFile"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix(QStringLiteral("otpjob"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const std::string path = S(QDir::toNativeSeparators(dialog.selectedFiles().front()));
  if (!WriteFileAtomically(PathFromUtf8(path), JobText(made.job), &error)) {
    return warn(Tr(language_, "cannot write %1: %2", {path, error}));
  }
  QMessageBox done(QMessageBox::Information, QString::fromUtf8(res::kAppTitle),
                   Q(Tr(language_,
                        "The job %1 is saved in %2. Its checksum, for the work "
                        "instruction: %3",
                        {made.job.name, path, made.job.ShortChecksum()})),
                   QMessageBox::Ok, this);
  done.setObjectName(QStringLiteral("JobSaved"));
  done.exec();
}

void CWriterDlg::OnKillfocusHexFile() {
  UpdateData(true);
  SaveSettings();
}

void CWriterDlg::OnSelchangeCpu() {
  m_writer.link.Close();
  UpdateData(true);
  m_nRate = 0;
  GetChipSpec();
  FormatAreaBoxes();
  SaveSettings();
  ApplyIdleSet();
  UpdateData(false);
}

void CWriterDlg::OnSelchangeSpeed() {
  m_writer.link.Close();
  UpdateData(true);
  SaveSettings();
  ApplyIdleSet();
  UpdateData(false);
}

void CWriterDlg::OnSelchangeComPort() {
  OnSelchangeSpeed();
}

void CWriterDlg::OnAbout() {
  CAboutDlg about(language_, this);
  about.exec();
}

void CWriterDlg::OnHexFileSelect() {
  UpdateData(true);
  std::error_code ec;
  if (!m_strHexFile.empty()) {
    // The folder is the text before the last separator; without one the current folder
    // stays as it is.
    const auto separator = m_strHexFile.find_last_of("\\/");
    if (separator != std::string::npos) {
      const std::string folder =
          separator == 0 ? m_strHexFile.substr(0, 1) : m_strHexFile.substr(0, separator);
      std::filesystem::current_path(PathFromUtf8(folder), ec);
    }
  }
  // Qt separates a filter's patterns with blanks, as the first filter's text does.
  QFileDialog dialog(
      this, QString(), QDir::currentPath(),
      QStringLiteral(
          "S format file (*.cnv ; *.mhx ; *.ahx);;all file (*);;Intel HEX (*.hex ; *.ihx)"));
  dialog.setObjectName(QStringLiteral("HexFileSelect"));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
    m_strHexFile = S(QDir::toNativeSeparators(dialog.selectedFiles().front()));
    UpdateData(false);
  }
  std::filesystem::current_path(PathFromUtf8(moduleDir()), ec);
  SaveSettings();
}

void CWriterDlg::OnDropFiles(const QStringList& files) {
  if (files.isEmpty()) return;
  m_strHexFile = S(files.front());
  UpdateData(false);
  SaveSettings();
}

void CWriterDlg::OnExit() {
  accept();
}

void CWriterDlg::accept() {
  if (!UpdateData(true)) return;
  QDialog::accept();
}

void CWriterDlg::reject() {
  // While an operation runs the window is disabled and takes no command; a window
  // manager may still offer its close box, which must not end the program mid-operation.
  if (!isEnabled()) return;
  QDialog::reject();
}

void CWriterDlg::closeEvent(QCloseEvent* event) {
  if (!isEnabled()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void CWriterDlg::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    // A focused button takes Enter; elsewhere Enter is the window's OK command.
    if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
      if (button->isEnabled()) button->click();
      return;
    }
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CWriterDlg::dragEnterEvent(QDragEnterEvent* event) {
  const QMimeData* data = event->mimeData();
  if (data->hasUrls() && !data->urls().isEmpty() && data->urls().front().isLocalFile()) {
    event->acceptProposedAction();
  }
}

void CWriterDlg::dropEvent(QDropEvent* event) {
  QStringList files;
  for (const QUrl& url : event->mimeData()->urls()) {
    if (url.isLocalFile()) files << QDir::toNativeSeparators(url.toLocalFile());
  }
  event->acceptProposedAction();
  OnDropFiles(files);
}

bool CWriterDlg::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut && watched == Control(res::id::kHexFile)) {
    const auto reason = static_cast<QFocusEvent*>(event)->reason();
    if (reason != Qt::PopupFocusReason) OnKillfocusHexFile();
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace otp
