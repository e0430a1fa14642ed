#include "app/StationWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDialog>
#include <QEventLoop>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "app/CAboutDlg.h"
#include "core/Texts.h"
#include "core/Utf8Path.h"
#include "link/PortList.h"
#include "link/QtSerialPort.h"
#include "ops/Messages.h"
#include "ops/job/Job.h"
#include "res/StringTable.h"
#include "settings/Settings.h"
#include "ui/DialogBuilder.h"

namespace otp {

namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// Splits "COM1, COM2,COM3" into its names.
std::vector<std::string> PortNames(const std::string& text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string name = text.substr(start, comma - start);
    while (!name.empty() && name.front() == ' ')
      name.erase(name.begin());
    while (!name.empty() && name.back() == ' ')
      name.pop_back();
    if (!name.empty()) names.push_back(name);
    start = comma + 1;
  }
  return names;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names)
    text += (text.empty() ? "" : ", ") + name;
  return text;
}

constexpr int kMinimumWidth = 1280;
constexpr int kMinimumHeight = 800;
constexpr std::size_t kMostPorts = 16;
constexpr qint64 kTileInterval = 250;  // ms between two paintings of a tile: as a person sees

}  // namespace

std::optional<StationArguments> ParseStationArguments(const std::vector<std::string>& args,
                                                      std::string& error) {
  StationArguments parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      inlineValue = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < args.size()) return args[++i];
      error = arg + " needs a value";
      return std::nullopt;
    };
    if (arg == "-p" || arg == "--port") {
      const auto text = value();
      if (!text) return std::nullopt;
      for (const std::string& name : PortNames(*text))
        parsed.ports.push_back(name);
    } else if (arg == "--db") {
      parsed.db = value();
      if (!parsed.db) return std::nullopt;
    } else if (arg == "--lot") {
      const auto text = value();
      if (!text || text->empty()) {
        if (text) error = "--lot needs a name";
        return std::nullopt;
      }
      parsed.lot = *text;
    } else if (arg == "--quantity") {
      const auto text = value();
      if (!text) return std::nullopt;
      char* end = nullptr;
      const unsigned long long n = std::strtoull(text->c_str(), &end, 10);
      if (text->empty() || *end != '\0' || n == 0 || n >= (1ull << 63)) {
        error = "--quantity: " + *text + " is no number from 1 to 2^63 - 1";
        return std::nullopt;
      }
      parsed.quantity = n;
    } else if (!arg.empty() && arg[0] == '-') {
      error = "unknown option " + arg;
      return std::nullopt;
    } else if (parsed.job.empty()) {
      parsed.job = arg;
    } else {
      error = "one job at most";
      return std::nullopt;
    }
  }
  if (parsed.quantity && parsed.lot.empty()) {
    error = "--quantity needs a --lot";
    return std::nullopt;
  }
  return parsed;
}

StationWindow::StationWindow(StationArguments arguments, WriterEnvironment environment,
                             QWidget* parent)
    : QMainWindow(parent),
      arguments_(std::move(arguments)),
      language_(environment.language.value_or(SystemLanguage())) {
  const std::string programDir = environment.programDir.empty()
                                     ? QCoreApplication::applicationDirPath().toStdString()
                                     : environment.programDir;
  setup_.emplace(environment.locations ? *environment.locations
                                       : LocateFiles(PlaceFactsOf(programDir)));
  ports_factory_ = environment.ports;
  if (!ports_factory_) {
    ownPorts_ = std::make_unique<QtSerialPortFactory>();
    ports_factory_ = ownPorts_.get();
  }
  // The store and the ports the station worked with last, unless told otherwise: a
  // station reopened without --db records where it recorded before.
  const StationSettings kept = ReadStationSettings(setup_->settingsFile());
  storeLocation_ = ProductionStore::Absolute(
      arguments_.db ? *arguments_.db : (!kept.store.empty() ? kept.store : setup_->DefaultStore()));
  if (arguments_.ports.empty()) {
    arguments_.ports = kept.ports;
    if (arguments_.ports.empty()) arguments_.ports.push_back(RecentChoiceOf(setup_->Load()).port);
  }
  Build();
  if (!arguments_.db && kept.store.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(PathFromUtf8(setup_->dataDir()), ec);
  }
  Load();
  qApp->installEventFilter(this);
}

void StationWindow::Load() {
  problem_.clear();
  ready_ = false;
  started_ = false;
  confirmNeeded_ = false;
  ports_->setReadOnly(false);
  choosePorts_->setEnabled(true);
  // What is burned: the job, or the main window's model, clock and Hex File.
  StationChoices choices;
  const RecentSettings recent = setup_->Load();
  const RecentChoice chosen = RecentChoiceOf(recent);
  choices.ports = {PortTarget{"", "", chosen.model, chosen.rate}};
  choices.jobFile = arguments_.job;
  if (arguments_.job.empty()) {
    // A name in the window's Hex File box is the window's: relative to the program's folder.
    std::string file = recent.hexFile;
    if (!file.empty() && !PathFromUtf8(file).is_absolute()) file = setup_->moduleDir() + file;
    choices.imageFile = file;
  }
  choices.lot = arguments_.lot;
  choices.quantity = arguments_.quantity;
  choices.language = language_;
  choices.moduleDir = setup_->moduleDir();
  choices.monitorDirs = setup_->monitorDirs();
  prepared_ = PrepareStation(choices);
  if (prepared_.job) {
    // The station has no --resume: the job decides.
    prepared_.setup.resume = prepared_.job->resume;
    confirmNeeded_ = prepared_.job->confirm;
  } else if (arguments_.job.empty()) {
    prepared_.setup.imageName = recent.hexFile;
  }
  if (arguments_.job.empty() && recent.hexFile.empty()) {
    problem_ = T("no Hex File is chosen in the main window");
  } else if (prepared_.problem != PreparedStation::Problem::kNone) {
    problem_ = prepared_.message;
  }
  if (!problem_.empty()) Say(problem_, true);
  controller_.reset();
  MakeTiles(PortNames(ports_->text().toStdString()));
  const Station::Options where = StationOptionsFor(storeLocation_, setup_->dataDir(),
                                                   prepared_.job ? prepared_.job->store : "");
  // A tile that changed is marked; the first mark after a quiet while reaches the window as
  // a queued call that starts its painting, which then shows every marked tile at once, as
  // often as a person can see and no more (one frame for all tiles, not one each).
  StationController::Callbacks callbacks;
  callbacks.tileChanged = [this](std::size_t port) {
    if (port >= pending_.size()) return;
    pending_[port]->store(true);
    if (painting_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this, [this] { paint_.start(); }, Qt::QueuedConnection);
  };
  callbacks.figuresChanged = [this] {
    if (figuresPending_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this, [this] { RefreshFigures(); }, Qt::QueuedConnection);
  };
  callbacks.stateChanged = [this] {
    if (statePending_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
          statePending_ = false;
          ShowHeader();
        },
        Qt::QueuedConnection);
  };
  const bool prepared = problem_.empty();
  callbacks.opened = [this, prepared](const std::string& error) {
    QMetaObject::invokeMethod(
        this,
        [this, prepared, error] {
          if (!error.empty()) {
            problem_ = T("the production store: %1", {error});
            Say(problem_, true);
          } else {
            ready_ = prepared;
          }
          UpdateButtons();
        },
        Qt::QueuedConnection);
  };
  callbacks.ended = [this](const ProductionRun::End& end, const StartReport* start) {
    const auto endCopy = end;
    const auto startCopy = start ? std::optional<StartReport>(*start) : std::nullopt;
    QMetaObject::invokeMethod(
        this, [this, endCopy, startCopy] { Ended(endCopy, startCopy ? &*startCopy : nullptr); },
        Qt::QueuedConnection);
  };
  controller_ = std::make_unique<StationController>(prepared_.setup, where, std::move(callbacks),
                                                    ports_factory_);
  ShowHeader();
  controller_->Open();
  UpdateButtons();
}

StationWindow::~StationWindow() {
  qApp->removeEventFilter(this);
  // The ports box loses its focus as the window goes: it must not make tiles then.
  QObject::disconnect(ports_, nullptr, this, nullptr);
  controller_.reset();
}

std::string StationWindow::T(std::string_view english,
                             std::initializer_list<std::string_view> values) const {
  return Tr(language_, english, values);
}

void StationWindow::Build() {
  setObjectName("station");
  paint_.setInterval(static_cast<int>(kTileInterval));
  connect(&paint_, &QTimer::timeout, this, [this] { RefreshTiles(); });
  setWindowTitle(Q(T("OTP Writer Station")));
  setWindowIcon(ui::AppIcon());
  setMinimumSize(kMinimumWidth, kMinimumHeight);
  // Read from a step away: everything a little larger than a desktop's text.
  QFont font = this->font();
  font.setPointSizeF(font.pointSizeF() * 1.15);
  setFont(font);
  QMenu* file = menuBar()->addMenu(Q(T("&File")));
  QAction* open = file->addAction(Q(T("&Open Job...")), this, [this] {
    if (controller_ && controller_->busy()) return;
    const QString chosen = QFileDialog::getOpenFileName(this, Q(T("Open Job")), QString(),
                                                        Q(T("Jobs (*.otpjob);;all files (*)")));
    if (!chosen.isEmpty()) OpenJob(chosen.toStdString());
  });
  open->setObjectName("openJob");
  file->addSeparator();
  file->addAction(Q(T("&Exit")), this, &QWidget::close);
  QMenu* help = menuBar()->addMenu(Q(T("&Help")));
  help->addAction(Q(T("&About")), this, [this] {
    CAboutDlg about(language_, this);
    about.exec();
  });

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(10, 6, 10, 8);
  layout->setSpacing(6);

  // The header: what is burned, where it is recorded. Shown, never edited.
  auto* header = new QGridLayout();
  header->setHorizontalSpacing(14);
  header->setVerticalSpacing(2);
  auto label = [&](const char* name) {
    auto* text = new QLabel(central);
    text->setObjectName(name);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return text;
  };
  job_ = label("job");
  note_ = label("note");
  target_ = label("target");
  image_ = label("image");
  serial_ = label("serialRule");
  lot_ = label("lot");
  store_ = label("store");
  storeState_ = label("storeState");
  note_->setWordWrap(true);
  QFont big = job_->font();
  big.setPointSizeF(big.pointSizeF() * 1.35);
  big.setBold(true);
  job_->setFont(big);
  lot_->setFont(big);
  QFont noteFont = note_->font();
  noteFont.setItalic(true);
  note_->setFont(noteFont);
  ports_ = new QLineEdit(central);
  ports_->setObjectName("ports");
  ports_->setAccessibleName(Q(T("Ports")));
  ports_->setText(Q(Joined(arguments_.ports)));
  ports_->setCursorPosition(0);
  ports_->setMinimumWidth(260);
  // The ports are chosen with the mouse: the keys belong to the foot switch, so the box
  // never holds the focus when the station opens and gives it up after Enter.
  ports_->setFocusPolicy(Qt::ClickFocus);
  connect(ports_, &QLineEdit::editingFinished, this, [this] {
    ports_->setCursorPosition(0);  // the names from their beginning
    if (!started_) MakeTiles(PortNames(ports_->text().toStdString()));
  });
  connect(ports_, &QLineEdit::returnPressed, ports_, &QWidget::clearFocus);
  choosePorts_ = new QPushButton(Q(T("Choose...")), central);
  choosePorts_->setObjectName("choosePorts");
  choosePorts_->setFocusPolicy(Qt::NoFocus);
  connect(choosePorts_, &QPushButton::clicked, this, [this] { ChoosePorts(); });
  auto* portsRow = new QHBoxLayout();
  portsRow->addWidget(new QLabel(Q(T("Ports")), central));
  portsRow->addWidget(ports_, 1);
  portsRow->addWidget(choosePorts_);
  auto_ = new QCheckBox(Q(T("Auto start")), central);
  auto_->setObjectName("autoStart");
  auto_->setToolTip(Q(T("Each port burns every fresh board put on it, without a key")));
  QFont switchFont = auto_->font();
  switchFont.setBold(true);
  auto_->setFont(switchFont);
  connect(auto_, &QCheckBox::toggled, this, [this](bool on) { OnAutoStart(on); });
  header->addWidget(job_, 0, 0);
  header->addWidget(lot_, 0, 1);
  header->addWidget(target_, 0, 2);
  header->addWidget(auto_, 0, 3, Qt::AlignRight);
  header->addWidget(note_, 1, 0, 1, 4);
  header->addWidget(image_, 2, 0, 1, 2);
  header->addWidget(serial_, 2, 2, 1, 2);
  header->addWidget(store_, 3, 0, 1, 2);
  header->addLayout(portsRow, 3, 2, 1, 2);
  header->addWidget(storeState_, 4, 0, 1, 4);
  header->setColumnStretch(0, 2);
  header->setColumnStretch(1, 1);
  header->setColumnStretch(2, 2);
  header->setColumnStretch(3, 1);
  layout->addLayout(header);

  tabs_ = new QTabWidget(central);
  tabs_->setObjectName("tabs");
  tabs_->setFocusPolicy(Qt::NoFocus);
  auto* stationTab = new QWidget(tabs_);
  auto* body = new QHBoxLayout(stationTab);
  body->setContentsMargins(4, 4, 4, 4);
  auto* tilesColumn = new QVBoxLayout();
  auto* tilesArea = new QWidget(stationTab);
  grid_ = new QGridLayout(tilesArea);
  grid_->setSpacing(8);
  grid_->setContentsMargins(0, 0, 0, 0);
  tilesColumn->addWidget(tilesArea, 1);
  // What the block maps' marks mean, under the tiles.
  tilesColumn->addWidget(new ui::BlockLegend(language_, stationTab));
  body->addLayout(tilesColumn, 1);

  auto* side = new QVBoxLayout();
  counters_ = new QLabel(stationTab);
  counters_->setObjectName("counters");
  counters_->setTextFormat(Qt::RichText);
  counters_->setWordWrap(true);  // a long name takes two lines, its figure stays in view
  QFont countersFont = counters_->font();
  countersFont.setPointSizeF(countersFont.pointSizeF() * 1.2);
  counters_->setFont(countersFont);
  attempts_ = new QTableWidget(0, 7, stationTab);
  attempts_->setObjectName("attempts");
  attempts_->setFocusPolicy(Qt::NoFocus);
  attempts_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  attempts_->setSelectionMode(QAbstractItemView::NoSelection);
  attempts_->verticalHeader()->hide();
  attempts_->setHorizontalHeaderLabels({Q(T("Time")), Q(T("Station")), Q(T("Job")), Q(T("Port")),
                                        Q(T("Serial")), Q(T("Outcome")), Q(T("Report"))});
  attempts_->horizontalHeader()->setStretchLastSection(true);
  attempts_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  attempts_->setWordWrap(false);
  attempts_->setTextElideMode(Qt::ElideRight);
  attempts_->setAccessibleName(Q(T("The last 20 attempts")));
  side->addWidget(counters_);
  side->addWidget(attempts_, 1);
  auto* sideBox = new QWidget(stationTab);
  sideBox->setLayout(side);
  sideBox->setFixedWidth(420);
  body->addWidget(sideBox);
  tabs_->addTab(stationTab, Q(T("Station")));
  report_ = new ui::ReportView(language_, tabs_);
  report_->setObjectName("report");
  report_->setAccessibleName(Q(T(
      "The units per hour, the memory map of failures and their reasons since the window opened")));
  tabs_->addTab(report_, Q(T("Report")));
  layout->addWidget(tabs_, 1);

  status_ = new QLabel(central);
  status_->setObjectName("status");
  status_->setWordWrap(true);
  layout->addWidget(status_);
  auto* buttons = new QHBoxLayout();
  start_ = new QPushButton(Q(T("START  (Enter / Space)")), central);
  start_->setObjectName("start");
  QFont startFont = start_->font();
  startFont.setPointSizeF(startFont.pointSizeF() * 1.6);
  startFont.setBold(true);
  start_->setFont(startFont);
  start_->setMinimumHeight(56);
  stop_ = new QPushButton(Q(T("Stop")), central);
  stop_->setObjectName("stop");
  stop_->setMinimumHeight(56);
  stop_->setMinimumWidth(160);
  stop_->setFont(startFont);
  connect(start_, &QPushButton::clicked, this, [this] { OnStart(); });
  connect(stop_, &QPushButton::clicked, this, [this] { OnStop(); });
  buttons->addWidget(start_, 3);
  buttons->addWidget(stop_, 1);
  layout->addLayout(buttons);
  setCentralWidget(central);
}

void StationWindow::MakeTiles(const std::vector<std::string>& names) {
  for (ui::StationTile* tile : tiles_)
    delete tile;
  tiles_.clear();
  pending_.clear();
  const std::size_t count = std::min(names.size(), kMostPorts);
  const int columns = count <= 1 ? 1 : count <= 4 ? 2 : count <= 6 ? 3 : 4;
  for (std::size_t i = 0; i < count; ++i) {
    auto* tile = new ui::StationTile(names[i], language_, grid_->parentWidget());
    ui::TileState state = tile->shown();
    state.device = setup_ ? setup_->Device(names[i]) : std::string();
    tile->Show(state);
    grid_->addWidget(tile, static_cast<int>(i) / columns, static_cast<int>(i) % columns);
    tiles_.push_back(tile);
    pending_.push_back(std::make_unique<std::atomic<bool>>(false));
  }
}

void StationWindow::OpenJob(const std::string& file) {
  if (controller_ && controller_->busy()) return;
  arguments_.job = file;
  Load();
}

bool StationWindow::Confirm() {
  const Job& job = *prepared_.job;
  QDialog dialog(this);
  dialog.setObjectName("confirmJob");
  dialog.setWindowTitle(Q(T("Confirm the job")));
  auto* layout = new QVBoxLayout(&dialog);
  auto* text = new QLabel(Q(T("Job %1: type its checksum as the work order shows it.", {job.name})),
                          &dialog);
  text->setWordWrap(true);
  auto* typed = new QLineEdit(&dialog);
  typed->setObjectName("checksum");
  typed->setMaxLength(16);
  auto* ok = new QPushButton(Q(T("Confirm")), &dialog);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
  layout->addWidget(text);
  layout->addWidget(typed);
  layout->addWidget(ok);
  if (dialog.exec() != QDialog::Accepted) return false;
  if (!ConfirmsJob(job, typed->text().toStdString())) {
    Say(T("%1 is not the checksum of the job %2: nothing started",
          {Printable(typed->text().trimmed().toStdString()), job.name}),
        true);
    return false;
  }
  confirmNeeded_ = false;
  ShowHeader();
  return true;
}

void StationWindow::ShowHeader() {
  const RunSetup& run = prepared_.setup;
  if (run.ports.empty()) return;  // not prepared
  // The checksum is the operator's to type from the work order: shown once confirmed.
  if (run.job.empty()) {
    job_->setText(Q(T("Current choices")));
  } else if (confirmNeeded_) {
    job_->setText(Q(T("Job %1  (to confirm)", {run.job})));
  } else {
    job_->setText(Q(T("Job %1  (%2)", {run.job, run.jobSum})));
  }
  const std::string note = prepared_.job ? Printable(prepared_.job->note) : std::string();
  note_->setText(Q(note));
  note_->setVisible(!note.empty());
  const PortTarget& first = run.ports.front();
  const int baud = first.model ? first.model->baud[static_cast<std::size_t>(first.rate)] : 0;
  target_->setText(
      first.model
          ? QString("%1   %2   %3 bit/s")
                .arg(Q(std::string(first.model->model)))
                .arg(Q(std::string(first.model->speeds[static_cast<std::size_t>(first.rate)])))
                .arg(baud)
          : QString());
  const std::string crc = "0x" + Hex(run.crc32, 8);
  image_->setText(Q(T("Image %1   CRC-32 %2", {run.imageName, crc})));
  const RunState state = controller_ ? controller_->state() : RunState{};
  const StationFigures figures = controller_ ? controller_->Figures() : StationFigures{};
  std::string serial = T("Serial numbers: none");
  if (run.rule) {
    // The number that will really be issued next: the block's first, else the store's.
    std::optional<std::uint64_t> next = state.nextNumber ? state.nextNumber : figures.next;
    const auto counter = controller_ ? controller_->counter() : std::nullopt;
    std::string shown = next                            ? std::to_string(*next)
                        : counter && counter->exhausted ? T("none left")
                        : counter                       ? std::to_string(counter->next)
                                  : std::to_string(run.serialStart.value_or(1));
    serial = T("Serial %1, next %2", {run.rule->Text(), shown});
    if (state.numbersLeft) {
      serial += "   " + T("%1 numbers held", {std::to_string(*state.numbersLeft)});
    }
  }
  serial_->setText(Q(serial));
  std::string lot;
  const std::optional<Lot> progress = state.lot;
  if (!run.lot.empty()) {
    const std::uint64_t quantity = progress ? progress->quantity : run.quantity.value_or(0);
    lot = quantity > 0
              ? T("Lot %1: %2 of %3", {run.lot, std::to_string(progress ? progress->passed : 0),
                                       std::to_string(quantity)})
              : T("Lot %1", {run.lot});
  }
  lot_->setText(Q(lot));
  store_->setText(Q(T("Store %1   Station %2",
                      {ProductionStore::Printable(storeLocation_), Printable(run.station)})));
  // The store away: the station goes on from the numbers it holds, and says so.
  if (state.storeAway) {
    storeState_->setText(
        Q(T("store away: %1 records waiting, %2 numbers left in the block (%3)",
            {std::to_string(state.waiting),
             state.numbersLeft ? std::to_string(*state.numbersLeft) : "-", state.storeError})));
    storeState_->setStyleSheet("color: #8A4B00; font-weight: bold;");
  } else if (state.waiting > 0) {
    storeState_->setText(Q(T("%1 records wait for the store", {std::to_string(state.waiting)})));
    storeState_->setStyleSheet("color: #8A4B00;");
  } else {
    storeState_->clear();
    storeState_->setStyleSheet("");
  }
  storeState_->setVisible(!storeState_->text().isEmpty());
}

void StationWindow::ChoosePorts() {
  if (started_) return;
  // Each adapter by the name that survives a reboot: its place on the hub, else its own
  // serial number.
  QDialog dialog(this);
  dialog.setObjectName("portChooser");
  dialog.setWindowTitle(Q(T("Choose the ports")));
  auto* layout = new QVBoxLayout(&dialog);
  auto* text = new QLabel(Q(T("Names that stay the same from one boot to the next:")), &dialog);
  layout->addWidget(text);
  const std::vector<std::string> current = PortNames(ports_->text().toStdString());
  std::vector<std::pair<QCheckBox*, std::string>> boxes;
  for (const PortListing& port : ListPorts(setup_->Devices({"COM1", "COM2", "COM3", "COM4"}))) {
    std::string label = port.Stable();
    std::string what = port.device;
    if (!port.product.empty()) what += ", " + port.product;
    if (!port.serialNumber.empty()) what += ", " + T("serial %1", {port.serialNumber});
    auto* box = new QCheckBox(Q(label + "   (" + what + ")"), &dialog);
    box->setChecked(std::find(current.begin(), current.end(), port.Stable()) != current.end() ||
                    std::find(current.begin(), current.end(), port.device) != current.end());
    layout->addWidget(box);
    boxes.emplace_back(box, port.Stable());
  }
  if (boxes.empty()) layout->addWidget(new QLabel(Q(T("no serial ports")), &dialog));
  auto* ok = new QPushButton(Q(T("Use these")), &dialog);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
  layout->addWidget(ok);
  if (dialog.exec() != QDialog::Accepted) return;
  std::vector<std::string> chosen;
  for (const auto& [box, name] : boxes) {
    if (box->isChecked()) chosen.push_back(name);
  }
  if (chosen.empty()) return;
  ports_->setText(Q(Joined(chosen)));
  ports_->setCursorPosition(0);
  MakeTiles(chosen);
}

std::vector<PortTarget> StationWindow::Targets(std::string& error) const {
  const PortTarget& first = prepared_.setup.ports.front();
  return ResolvePorts(PortNames(ports_->text().toStdString()), *setup_, first.model, first.rate,
                      kMostPorts, language_, error);
}

bool StationWindow::BeforeFirstUnit() {
  if (confirmNeeded_ && !Confirm()) return false;
  if (!started_) {
    std::string error;
    targets_ = Targets(error);
    if (targets_.empty()) {
      Say(error, true);
      return false;
    }
    std::vector<std::string> names;
    for (const PortTarget& target : targets_)
      names.push_back(target.name);
    MakeTiles(names);
    // The ports and the store used now are the ones the station opens with next time.
    StationSettings kept = ReadStationSettings(setup_->settingsFile());
    kept.ports = names;
    kept.store = ProductionStore::Storable(storeLocation_);  // never a password in a file
    std::error_code ec;
    std::filesystem::create_directories(setup_->settingsFile().parent_path(), ec);
    WriteStationSettings(setup_->settingsFile(), kept);
    started_ = true;
    ports_->setReadOnly(true);
    choosePorts_->setEnabled(false);
  }
  return true;
}

// Whether the lot has all its parts: then no unit starts, and the operator is told.
bool StationWindow::LotComplete() {
  const auto lot = controller_ ? controller_->state().lot : std::nullopt;
  if (!lot || lot->quantity == 0 || static_cast<std::uint64_t>(lot->passed) < lot->quantity)
    return false;
  Say(T("the lot %1 is complete: no more boards", {lot->name}), true);
  return true;
}

void StationWindow::OnStart() {
  if (!ready_ || controller_->busy() || auto_->isChecked()) return;
  if (LotComplete() || !BeforeFirstUnit()) return;
  Say(T("burning..."));
  controller_->Round(targets_);
  UpdateButtons();
}

void StationWindow::OnAutoStart(bool on) {
  if (!on) {
    if (controller_->busy()) OnStop();
    UpdateButtons();
    return;
  }
  if (!ready_ || controller_->busy() || LotComplete() || !BeforeFirstUnit()) {
    const QSignalBlocker quiet(auto_);
    auto_->setChecked(false);
    return;
  }
  Say(T("Auto start: put the boards in"));
  controller_->AutoRun(targets_);
  UpdateButtons();
}

void StationWindow::OnStop() {
  controller_->Stop();
  Say(T("stopping: the units end between blocks"));
}

void StationWindow::Ended(const ProductionRun::End& end, const StartReport* start) {
  // The engine's notes, in its words: what the start found (journals set aside or
  // damaged, units recorded), why it could not go on, the records refused or unsaved and
  // why the round stopped the station; all of them, one a line.
  std::vector<Note> notes = start ? start->notes : std::vector<Note>{};
  notes.insert(notes.end(), end.notes.begin(), end.notes.end());
  std::string said;
  bool warning = false;
  for (const Note& note : notes) {
    const std::string text = NoteText(note, language_);
    const NoteWeight weight = WeightOf(note.id);
    // A start that could not go on leaves the station unready; a round that ran out of
    // numbers or places while the store is away may go on once it answers.
    if (weight == NoteWeight::kProblem && note.id != NoteId::kBlockSpent &&
        note.id != NoteId::kPlacesSpent) {
      problem_ = text;
      ready_ = false;
    }
    warning = warning || weight != NoteWeight::kInfo;
    said += (said.empty() ? "" : "\n") + text;
  }
  if (!said.empty()) Say(said, warning);
  if (auto_->isChecked()) {
    const QSignalBlocker quiet(auto_);
    auto_->setChecked(false);  // the run ended: stopped, or it had to
  }
  if (end.why == ProductionRun::End::Why::kDone && problem_.empty() && notes.empty()) {
    Say(T("Press Start for the next units"));
  }
  ShowHeader();
  UpdateButtons();
  // Asked to close while units burned: they are recorded now.
  if (closeWhenEnded_) {
    closeWhenEnded_ = false;
    QMetaObject::invokeMethod(
        this, [this] { close(); }, Qt::QueuedConnection);
  }
}

void StationWindow::RefreshTiles() {
  bool any = false;
  for (std::size_t port = 0; port < tiles_.size() && port < pending_.size(); ++port) {
    if (!pending_[port]->exchange(false)) continue;
    any = true;
    tiles_[port]->Show(controller_->Tile(port));
  }
  if (!any) {
    // Quiet for a whole period: the next change starts the painting again.
    paint_.stop();
    painting_ = false;
    for (std::size_t port = 0; port < pending_.size(); ++port) {
      if (*pending_[port]) {  // a change that came just now
        painting_ = true;
        paint_.start();
        break;
      }
    }
  }
}

void StationWindow::RefreshFigures() {
  figuresPending_ = false;
  const StationFigures figures = controller_ ? controller_->Figures() : StationFigures{};
  const Counters& run = figures.run;
  // Over the parts written; none yet: a dash.
  auto yield = [](const UnitCounts& counts) {
    const auto percent = counts.YieldPercent();
    return percent ? QString::number(*percent, 'f', 1) + " %" : QString("-");
  };
  // A table of names and figures, the figures large: read at a glance. A name stays on
  // one line; what it splits into, in small type under it.
  auto row = [](const std::string& name, const QString& value, const std::string& split = {}) {
    QString label = "<span style='white-space:nowrap'>" + Q(name).toHtmlEscaped() + "</span>";
    if (!split.empty()) label += "<br><small>" + Q(split).toHtmlEscaped() + "</small>";
    return "<tr><td style='padding-right:14px'>" + label +
           "</td><td align='right' valign='top' style='font-size:x-large; font-weight:bold'>" +
           value.toHtmlEscaped() + "</td></tr>";
  };
  const auto perHour = run.UnitsPerHour();
  const UnitCounts& units = run.units;
  counters_->setText(
      "<table width='100%' cellspacing='2'>" + row(T("Passed"), QString::number(units.passed())) +
      row(T("Failed"), QString::number(units.failed())) +
      row(T("No part written"), QString::number(units.units() - units.written()),
          NotWrittenText(units, language_)) +
      row(T("Total"), QString::number(units.units())) + row(T("Yield"), yield(units)) +
      row(T("Units per hour"), perHour ? QString::number(*perHour, 'f', 0) : QString("-")) +
      row(T("Today, this station and job"),
          QString::number(figures.today.units()) + "  (" + yield(figures.today) + ")") +
      "</table>");
  // The station and job columns say something only when the attempts differ in them.
  bool stations = false;
  bool jobs = false;
  for (const Attempt& a : figures.last) {
    stations = stations || a.station != figures.last.front().station;
    jobs = jobs || a.job != figures.last.front().job;
  }
  attempts_->setColumnHidden(1, !stations);
  attempts_->setColumnHidden(2, !jobs);
  attempts_->setRowCount(static_cast<int>(figures.last.size()));
  for (std::size_t i = 0; i < figures.last.size(); ++i) {
    const Attempt& a = figures.last[figures.last.size() - 1 - i];  // the newest first
    const QString time =
        QDateTime::fromString(Q(a.started), Qt::ISODate).toLocalTime().toString("HH:mm:ss");
    const QStringList cells = {time,
                               Q(Printable(a.station)),
                               Q(Printable(a.job)),
                               Q(Printable(a.port)),
                               a.serial ? QString::number(*a.serial) : "",
                               Q(OutcomeWord(a.outcome, language_)),
                               Q(Printable(a.reportText)).trimmed()};
    for (int column = 0; column < cells.size(); ++column) {
      auto* item = new QTableWidgetItem(cells[column]);
      item->setToolTip(cells[column]);
      attempts_->setItem(static_cast<int>(i), column, item);
    }
  }
  // The short columns as wide as they need; the reason takes the rest, shortened with an
  // ellipsis (its whole text in the tooltip), so that the table never scrolls sideways.
  for (int column = 0; column + 1 < attempts_->columnCount(); ++column)
    attempts_->resizeColumnToContents(column);
  report_->SetFigures(figures.report);
  ShowHeader();
}

void StationWindow::Say(const std::string& text, bool problem) {
  status_->setText(Q(text));
  status_->setStyleSheet(problem ? "color: #B00020; font-weight: bold;" : "");
}

void StationWindow::UpdateButtons() {
  const bool busy = controller_ && controller_->busy();
  start_->setEnabled(ready_ && !busy && !auto_->isChecked());
  stop_->setEnabled(busy);
  auto_->setEnabled(ready_ && (!busy || auto_->isChecked()));
}

bool StationWindow::eventFilter(QObject* watched, QEvent* event) {
  // Enter and Space start a round wherever the focus is (foot switches present
  // themselves as keyboards), but in the ports box before the first start.
  if (event->type() == QEvent::KeyPress && isActiveWindow()) {
    auto* key = static_cast<QKeyEvent*>(event);
    const bool startKey =
        key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter || key->key() == Qt::Key_Space;
    if (startKey && !key->isAutoRepeat() && key->modifiers() == Qt::NoModifier &&
        !(watched == ports_ && !started_)) {
      if (QApplication::activeModalWidget() == nullptr) {
        OnStart();
        return true;
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void StationWindow::closeEvent(QCloseEvent* event) {
  if (controller_ && controller_->busy()) {
    QMessageBox ask(QMessageBox::Question, windowTitle(),
                    Q(T("Units are burning. Stop them between blocks and close the station "
                        "once they are recorded?")),
                    QMessageBox::Yes | QMessageBox::No, this);
    ask.setObjectName("closeWhileBurning");
    if (ask.exec() != QMessageBox::Yes) {
      event->ignore();
      return;
    }
    // Nothing reserved stays unrecorded: the units end between blocks, and the window
    // closes when the round's end reaches it.
    closeWhenEnded_ = true;
    controller_->Stop();
    Say(T("stopping: the units end between blocks"));
    event->ignore();
    return;
  }
  event->accept();
}

}  // namespace otp
