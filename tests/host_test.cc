#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "host/localized_string.h"
#include "host/plugin_bundle.h"

namespace ph {
namespace {

namespace fs = std::filesystem;

TEST(HostValues, DescribeGivesTextsPlainAndTheRestAsCompactJson) {
  EXPECT_EQ(describe(Value("a \"b\"")), "a \"b\"");
  EXPECT_EQ(describe(Value(true)), "true");
  EXPECT_EQ(describe(Value(2000u)), "2000");
  EXPECT_EQ(describe(Value::array({"file:///tmp/", "x"})), R"(["file:///tmp/","x"])");
  EXPECT_EQ(describe(Value{{"PHProcessScaleLengthKey", 2000}}),
            R"({"PHProcessScaleLengthKey":2000})");
  EXPECT_EQ(describe(Value()), "null");
  // Broken UTF-8 from a host still gives a line instead of an exception.
  EXPECT_NO_THROW(describe(Value::array({std::string("\xff\xfe")})));
}

TEST(HostStrings, LookupFallsBackToTheKey) {
  EXPECT_EQ(localizedString("Invalid task files.", "comment"), "Invalid task files.");
  setStringTable({{"Invalid task files.", "Ungültige Dateien."}});
  EXPECT_EQ(localizedString("Invalid task files.", "comment"), "Ungültige Dateien.");
  EXPECT_EQ(localizedString("Unsupported event.", "comment"), "Unsupported event.");
  setStringTable({});
  EXPECT_EQ(localizedString("Invalid task files.", "comment"), "Invalid task files.");
}

TEST(HostActions, EqualWhenIdentifierAndDisplayNameMatch) {
  PluginAction a("Export with Kadro");
  a.setIdentifier("KadroPlugin.kadro-publish");
  PluginAction copy("Export with Kadro");
  copy.setIdentifier("KadroPlugin.kadro-publish");
  copy.setImage(Image::empty(8, 8));
  PluginAction renamed("Export with Kadro!");
  renamed.setIdentifier("KadroPlugin.kadro-publish");
  PluginAction other("Export with Kadro");
  other.setIdentifier("KadroPlugin.other");
  EXPECT_TRUE(a.isEqualToPluginAction(a));
  EXPECT_TRUE(a.isEqualToPluginAction(copy));
  EXPECT_TRUE(copy.isEqualToPluginAction(a));
  EXPECT_FALSE(a.isEqualToPluginAction(renamed));
  EXPECT_FALSE(a.isEqualToPluginAction(other));
  EXPECT_EQ(a.image(), nullptr);
}

TEST(HostTasks, KeepActionAndFilesAndTakeCancellationFromAnotherThread) {
  auto action = std::make_shared<PluginAction>("Kadro: Square");
  FileHandlingPluginTask none(action, std::nullopt);
  EXPECT_FALSE(none.files().has_value());
  FileHandlingPluginTask task(action, std::vector<std::string>{"/a.png", "/b.jpg"});
  EXPECT_EQ(task.action(), action);
  ASSERT_TRUE(task.files());
  EXPECT_EQ(*task.files(), (std::vector<std::string>{"/a.png", "/b.jpg"}));
  EXPECT_FALSE(task.cancelled());
  std::thread([&] { task.setCancelled(); }).join();
  EXPECT_TRUE(task.cancelled());
  task.setCancelled(false);
  EXPECT_FALSE(task.cancelled());
}

TEST(HostResults, CarryStatusOrUrlAndMessage) {
  std::shared_ptr<PluginActionResult> open = std::make_shared<PluginActionOpenWithResult>(1);
  EXPECT_EQ(dynamic_cast<PluginActionOpenWithResult&>(*open).status(), 1);
  PluginActionPublishResult publish("file:///tmp/out/", "cropped 3 files");
  EXPECT_EQ(publish.url(), "file:///tmp/out/");
  EXPECT_EQ(publish.message(), "cropped 3 files");
}

TEST(HostSettingsElements, GroupsKeepTheirItemsInOrderAndItemsTellTheirKind) {
  SettingsElementsGroup group;
  EXPECT_EQ(group.identifier(), "");
  group.setIdentifier("id.group");
  group.setTitle("Kadro Presets");
  auto list = std::make_shared<SettingsListItem>("id.type", "Crop Type");
  list->setOptions({{"square", "square", Image::empty(128, 128)}, {"none", "none"}});
  list->setValue("square");
  auto button = std::make_shared<SettingsButtonItem>("id.save", "Save");
  button->setContext("save");
  auto check = std::make_shared<SettingsBoolItem>("id.border", "Add Border");
  check->setValue(true);
  SettingsElements elements = group.elements();
  elements.push_back(list);
  elements.push_back(check);
  elements.push_back(button);
  group.setElements(elements);

  ASSERT_EQ(group.elements().size(), 3u);
  EXPECT_EQ(group.kind(), SettingsElementKind::group);
  EXPECT_EQ(group.elements()[0]->kind(), SettingsElementKind::list);
  EXPECT_EQ(group.elements()[1]->value(), Value(true));
  EXPECT_EQ(group.elements()[2]->context(), "save");
  const auto* item = dynamic_cast<const SettingsItem*>(group.elements()[2].get());
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->identifier(), "id.save");
  EXPECT_EQ(list->options()[0].value(), "square");
  EXPECT_NE(list->options()[0].image(), nullptr);
  EXPECT_EQ(list->options()[1].image(), nullptr);
  EXPECT_EQ(SettingsLabelItem("a", "b").kind(), SettingsElementKind::label);
  EXPECT_EQ(SettingsTextItem("a", "b").kind(), SettingsElementKind::text);
  EXPECT_TRUE(SettingsTextItem("a", "b").value().is_null());
}

TEST(HostSettingsElements, FileChooserDefaultsToOneFile) {
  SettingsFileItem chooser("id.dest", "Export Path");
  EXPECT_EQ(chooser.kind(), SettingsElementKind::file);
  EXPECT_TRUE(chooser.canChooseFiles());
  EXPECT_FALSE(chooser.canChooseDirectories());
  EXPECT_FALSE(chooser.allowsMultipleSelection());
  chooser.setDirectoryURL("file:///tmp/");
  chooser.setCanChooseDirectories(true);
  chooser.setCanChooseFiles(false);
  chooser.setValue(Value::array({"file:///tmp/"}));
  EXPECT_EQ(chooser.directoryURL(), "file:///tmp/");
  EXPECT_TRUE(chooser.canChooseDirectories());
  EXPECT_FALSE(chooser.canChooseFiles());
}

// A fresh folder under the test's temporary folder.
fs::path freshDir(const std::string& name) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("ph_host_test_" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

struct SurfaceFree {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceFree>;

TEST(HostImages, CopyTheSurfaceAndKeepTheirSizeInPoints) {
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 4, 3));
  cairo_t* cr = cairo_create(surface.get());
  cairo_set_source_rgba(cr, 1, 0, 0, 0.5);
  cairo_rectangle(cr, 0, 0, 1, 1);
  cairo_fill(cr);
  const auto image = Image::fromSurface(surface.get(), 2, 1.5);
  // Drawing on the surface afterwards leaves the image alone.
  cairo_set_source_rgb(cr, 0, 0, 1);
  cairo_paint(cr);
  cairo_destroy(cr);
  ASSERT_TRUE(image);
  EXPECT_DOUBLE_EQ(image->width(), 2);
  EXPECT_DOUBLE_EQ(image->height(), 1.5);
  EXPECT_EQ(image->pixelWidth(), 4);
  EXPECT_EQ(image->pixelHeight(), 3);
  const auto corner = image->pixelAt(0, 0);
  ASSERT_TRUE(corner);
  EXPECT_NEAR(corner->red, 128, 1);  // premultiplied
  EXPECT_NEAR(corner->alpha, 128, 1);
  EXPECT_EQ(corner->blue, 0);
  EXPECT_EQ(image->pixelAt(1, 0)->alpha, 0);
  EXPECT_FALSE(image->pixelAt(4, 0));
  EXPECT_FALSE(image->pixelAt(0, -1));

  Surface mask(cairo_image_surface_create(CAIRO_FORMAT_A8, 4, 4));
  EXPECT_EQ(Image::fromSurface(mask.get(), 4, 4), nullptr);
  EXPECT_EQ(Image::fromSurface(nullptr, 4, 4), nullptr);
}

TEST(HostImages, EmptyImagesAreClear) {
  const auto image = Image::empty(128, 128);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->pixelWidth(), 128);
  EXPECT_EQ(image->pixelAt(64, 64)->alpha, 0);
  EXPECT_EQ(image->pixelAt(127, 127)->alpha, 0);
  const auto nothing = Image::empty(0.5, -3);
  EXPECT_EQ(nothing->pixelWidth(), 0);
  EXPECT_EQ(nothing->pixelHeight(), 0);
  EXPECT_FALSE(nothing->savePng(freshDir("empty") / "x.png"));
}

TEST(HostImages, PngRoundTripKeepsThePixels) {
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 5, 2));
  cairo_t* cr = cairo_create(surface.get());
  cairo_set_source_rgba(cr, 0.2, 0.4, 0.6, 1);
  cairo_rectangle(cr, 0, 0, 3, 2);
  cairo_fill(cr);
  cairo_destroy(cr);
  const auto image = Image::fromSurface(surface.get(), 5, 2);
  const fs::path dir = freshDir("png");
  ASSERT_TRUE(image->savePng(dir / "a.png"));
  const auto back = Image::loadPng(dir / "a.png");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pixelWidth(), 5);
  EXPECT_EQ(back->pixelHeight(), 2);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(*back->pixelAt(x, y), *image->pixelAt(x, y)) << x;

  EXPECT_FALSE(image->savePng(dir / "missing" / "a.png"));
  EXPECT_EQ(Image::loadPng(dir / "none.png"), nullptr);
  std::ofstream(dir / "bad.png") << "not a png";
  EXPECT_EQ(Image::loadPng(dir / "bad.png"), nullptr);
}

TEST(HostImages, OpaquePngsComeBackOpaque) {
  Surface rgb(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 3, 3));
  cairo_t* cr = cairo_create(rgb.get());
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_destroy(cr);
  const fs::path path = freshDir("rgb") / "rgb.png";
  ASSERT_EQ(cairo_surface_write_to_png(rgb.get(), path.c_str()), CAIRO_STATUS_SUCCESS);
  const auto image = Image::loadPng(path);
  ASSERT_TRUE(image);
  EXPECT_EQ(*image->pixelAt(1, 1), (Image::Pixel{255, 255, 255, 255}));
}

// Lays out a bundle folder around the fake plug-in module.
fs::path fakeBundle(const std::string& name, const std::string& info, bool withModule = true) {
  const fs::path dir = freshDir(name) / "Fake.plugin";
  fs::create_directories(dir);
  std::ofstream(dir / "Info.json") << info;
  if (withModule) fs::copy_file(KADRO_FAKE_PLUGIN_MODULE, dir / "fake.so");
  return dir;
}

std::string infoJson(const std::string& entryPoint, const std::string& module = "fake.so") {
  return R"({"CFBundleIdentifier": "test.Fake", "CFBundleShortVersionString": "2.5",
             "KadroModule": ")" +
         module + R"(", "KadroEntryPoint": ")" + entryPoint + R"("})";
}

TEST(HostBundles, LoadsThePrincipalObjectAndItsProtocols) {
  const fs::path dir = fakeBundle("good", infoJson("FakeCreatePlugin"));
  Error error;
  const auto info = PluginBundle::readInfo(dir, &error);
  ASSERT_TRUE(info) << error.localizedDescription;
  EXPECT_EQ(info->identifier, "test.Fake");
  EXPECT_EQ(info->version, "2.5");
  EXPECT_EQ(info->module, "fake.so");

  std::shared_ptr<PluginBase> plugin = PluginBundle::load(dir, &error);
  ASSERT_TRUE(plugin) << error.localizedDescription << " " << error.localizedFailureReason;
  EXPECT_EQ(dynamic_cast<PublishingPlugin*>(plugin.get()), nullptr);
  EXPECT_EQ(dynamic_cast<SettingsPlugin*>(plugin.get()), nullptr);
  auto* openWith = dynamic_cast<OpenWithPlugin*>(plugin.get());
  ASSERT_NE(openWith, nullptr);
  EXPECT_NE(dynamic_cast<FileHandling*>(plugin.get()), nullptr);

  auto actions =
      openWith->openWithActionsWithFileInfo({{"png", 1}}, kOpenWithPluginRoleOpenWith, &error);
  ASSERT_TRUE(actions);
  ASSERT_EQ(actions->size(), 1u);
  EXPECT_EQ((*actions)[0]->displayName(), "Fake: png");
  auto tasks = openWith->tasksForAction((*actions)[0], {"/x.png", "/y.png"}, &error);
  ASSERT_TRUE(tasks);
  std::vector<unsigned> done;
  auto result = openWith->startOpenWithTask(
      *(*tasks)[0], &error, [&](const PluginTask&, unsigned d, unsigned count, const std::string&) {
        done.push_back(d);
        EXPECT_EQ(count, 2u);
      });
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status(), 1);
  EXPECT_EQ(done, (std::vector<unsigned>{1, 2}));

  // Objects the module made stay usable after the principal object is gone.
  plugin.reset();
  openWith = nullptr;
  EXPECT_EQ((*actions)[0]->identifier(), "fake.png");
  actions.reset();
  tasks.reset();
}

TEST(HostBundles, ReportsAFailedValidationThroughTheErrorObject) {
  auto plugin = PluginBundle::load(fakeBundle("validate", infoJson("FakeCreatePlugin")), nullptr);
  ASSERT_TRUE(plugin);
  auto* settings = dynamic_cast<ActionSettings*>(plugin.get());
  ASSERT_NE(settings, nullptr);
  Error error;
  EXPECT_FALSE(settings->validateSettings({}, nullptr, &error));
  EXPECT_EQ(error, (Error{"fake", 7, "Never valid.", "The fake plug-in says no."}));
  ActionSettingsCallbackAction callback = kActionSettingsCallbackActionNone;
  EXPECT_TRUE(settings->didUpdateValue("x", "id", nullptr, {}, &callback, &error));
  EXPECT_EQ(callback, kActionSettingsCallbackActionRefresh);
}

// Loads `dir` and expects failure with `code`, its texts naming `mention`.
void expectLoadFailure(const fs::path& dir, long code, const std::string& mention) {
  Error error;
  EXPECT_EQ(PluginBundle::load(dir, &error), nullptr);
  EXPECT_EQ(error.domain, kPluginBundleErrorDomain);
  EXPECT_EQ(error.code, code);
  const std::string text = error.localizedDescription + " " + error.localizedFailureReason;
  EXPECT_NE(text.find(mention), std::string::npos) << text;
  EXPECT_EQ(PluginBundle::load(dir, nullptr), nullptr);  // no error object: still no crash
}

TEST(HostBundles, MissingOrMalformedBundlesGiveClearErrors) {
  const fs::path nowhere = freshDir("nowhere") / "Missing.plugin";
  expectLoadFailure(nowhere, kPluginBundleNotFound, nowhere.string());
  const fs::path file = freshDir("file") / "File.plugin";
  std::ofstream(file) << "{}";
  expectLoadFailure(file, kPluginBundleNotFound, file.string());

  const fs::path noInfo = freshDir("noinfo");
  expectLoadFailure(noInfo, kPluginBundleInfoInvalid, "Info.json");
  expectLoadFailure(fakeBundle("badjson", "{\"KadroModule\": "), kPluginBundleInfoInvalid,
                    "Info.json");
  expectLoadFailure(fakeBundle("array", "[]"), kPluginBundleInfoInvalid, "Info.json");
  expectLoadFailure(fakeBundle("nomodule", R"({"KadroEntryPoint": "FakeCreatePlugin"})"),
                    kPluginBundleInfoInvalid, "KadroModule");
  expectLoadFailure(fakeBundle("numbermodule", R"({"KadroModule": 3, "KadroEntryPoint": "F"})"),
                    kPluginBundleInfoInvalid, "KadroModule");
  expectLoadFailure(fakeBundle("noentry", R"({"KadroModule": "fake.so"})"),
                    kPluginBundleInfoInvalid, "KadroEntryPoint");
  expectLoadFailure(fakeBundle("escape", infoJson("FakeCreatePlugin", "../fake.so")),
                    kPluginBundleInfoInvalid, "KadroModule");
  expectLoadFailure(fakeBundle("absolute", infoJson("FakeCreatePlugin", KADRO_FAKE_PLUGIN_MODULE)),
                    kPluginBundleInfoInvalid, "KadroModule");
}

TEST(HostBundles, MissingModulesAndEntryPointsGiveClearErrors) {
  expectLoadFailure(fakeBundle("lost", infoJson("FakeCreatePlugin"), false),
                    kPluginBundleModuleNotLoaded, "fake.so");
  const fs::path garbage = fakeBundle("garbage", infoJson("FakeCreatePlugin"), false);
  std::ofstream(garbage / "fake.so") << "not an ELF file";
  expectLoadFailure(garbage, kPluginBundleModuleNotLoaded, "fake.so");

  expectLoadFailure(fakeBundle("symbol", infoJson("KadroCreatePlugin")),
                    kPluginBundleEntryPointMissing, "KadroCreatePlugin");
  expectLoadFailure(
      fakeBundle("hidden", infoJson("_Z15FakeHiddenEntryPSt10shared_ptrIN2ph10PluginBaseEE")),
      kPluginBundleEntryPointMissing, "has no entry point");
  expectLoadFailure(fakeBundle("null", infoJson("FakeCreateNothing")), kPluginBundleNoPlugin,
                    "created no plug-in");
  expectLoadFailure(fakeBundle("throws", infoJson("FakeCreateThrowing")), kPluginBundleNoPlugin,
                    "no configuration");
}

const fs::path kStagedBundle = fs::path(KADRO_STAGE_DIR) / "lib/kadro/Kadro.plugin";

TEST(HostBundles, TheBuiltBundleCarriesItsLogo) {
  const auto logo = Image::loadPng(kStagedBundle / "Resources" / "logo-256.png");
  ASSERT_TRUE(logo);
  EXPECT_EQ(logo->pixelWidth(), 256);
  EXPECT_EQ(logo->pixelHeight(), 256);
  EXPECT_EQ(logo->pixelAt(0, 0)->alpha, 0);  // a rounded tile on a clear ground
  EXPECT_EQ(logo->pixelAt(128, 30)->alpha, 255);
}

TEST(HostBundles, TheBuiltBundleLoadsWithEveryProtocol) {
  Error error;
  const auto info = PluginBundle::readInfo(kStagedBundle, &error);
  ASSERT_TRUE(info) << error.localizedDescription;
  EXPECT_EQ(info->identifier, "io.kadro.KadroPlugin");
  if (!fs::exists(kStagedBundle / info->module)) GTEST_SKIP() << "no plug-in module built yet";
  const auto plugin = PluginBundle::load(kStagedBundle, &error);
  ASSERT_TRUE(plugin) << error.localizedDescription << " " << error.localizedFailureReason;
  EXPECT_NE(dynamic_cast<OpenWithPlugin*>(plugin.get()), nullptr);
  EXPECT_NE(dynamic_cast<PublishingPlugin*>(plugin.get()), nullptr);
  EXPECT_NE(dynamic_cast<VariantProcessing*>(plugin.get()), nullptr);
  EXPECT_NE(dynamic_cast<SettingsPlugin*>(plugin.get()), nullptr);
}

}  // namespace
}  // namespace ph
