#!/usr/bin/python3
"""Kadro's web pages in real headless Chromium, against a real `kadro serve`.

Usage: web_pages_test.py KADRO SAMPLES_DIR SCREENSHOT_DIR

Each step leaves a screenshot of its page in SCREENSHOT_DIR.
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from selenium import webdriver
from selenium.common.exceptions import (NoSuchElementException, StaleElementReferenceException,
                                        TimeoutException)
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import WebDriverWait

KADRO, SAMPLES, SHOTS = sys.argv[1:4]
del sys.argv[1:4]

# Generous: the machine may be busy; nothing here measures speed.
WAIT = 60


class WebPages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix='kadro-web-')
        cls.config = os.path.join(cls.home, 'config')
        os.makedirs(cls.config)
        os.makedirs(SHOTS, exist_ok=True)
        env = dict(os.environ, XDG_CONFIG_HOME=cls.config, HOME=cls.home)
        cls.env = env
        cls.server = subprocess.Popen([KADRO, 'serve', '--no-browser'], env=env,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = cls.server.stdout.readline()
        match = re.match(r'Kadro is running at (http://127\.0\.0\.1:(\d+)/#token=[0-9a-f]+)$',
                         line.strip())
        if not match:
            cls.server.kill()
            raise RuntimeError('kadro serve printed %r, %s' % (line, cls.server.stderr.read()))
        cls.url = match.group(1)
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which('chromium') or '/usr/bin/chromium'
        for flag in ('--headless=new', '--no-sandbox', '--disable-gpu', '--window-size=1280,1000',
                     '--disable-dev-shm-usage', '--user-data-dir=' + os.path.join(cls.home, 'chrome')):
            options.add_argument(flag)
        options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
        driver = shutil.which('chromedriver') or '/usr/bin/chromedriver'
        cls.browser = webdriver.Chrome(service=Service(driver), options=options)
        cls.browser.get(cls.url)
        cls.wait_for(cls, lambda b: b.find_elements(By.CSS_SELECTOR, '#view-presets fieldset'))

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.server.send_signal(signal.SIGTERM)
        status = cls.server.wait(timeout=WAIT)
        shutil.rmtree(cls.home, ignore_errors=True)
        if status != 0:
            raise AssertionError('kadro serve ended with %d after SIGTERM' % status)

    # ---- helpers ----

    def wait_for(self, condition, message=''):
        try:
            # The page redraws under the test: an element gone stale or not there
            # yet is looked for again.
            return WebDriverWait(self.browser, WAIT, ignored_exceptions=(
                StaleElementReferenceException, NoSuchElementException, AssertionError)).until(condition)
        except TimeoutException:
            self.browser.save_screenshot(os.path.join(SHOTS, 'timeout.png'))
            raise AssertionError('timed out waiting: ' + message)

    def shot(self, name):
        self.browser.save_screenshot(os.path.join(SHOTS, name + '.png'))

    def go(self, page, ready):
        self.browser.execute_script('location.hash = arguments[0]', page)
        self.wait_for(EC.presence_of_element_located((By.CSS_SELECTOR, ready)), page)

    def labelled(self, title):
        """The control whose <label for> reads `title`."""
        for label in self.browser.find_elements(By.TAG_NAME, 'label'):
            if label.text.strip() == title and label.get_attribute('for'):
                return self.browser.find_element(By.ID, label.get_attribute('for'))
        raise AssertionError('no control labelled ' + title)

    def tile(self, legend, title):
        """The label of a picture tile in the list titled `legend`."""
        for fieldset in self.browser.find_elements(By.CSS_SELECTOR, 'fieldset.tiles'):
            if fieldset.find_element(By.TAG_NAME, 'legend').text.strip() == legend:
                for label in fieldset.find_elements(By.CSS_SELECTOR, '.tile label'):
                    if label.text.strip() == title:
                        return label
        raise AssertionError('no tile %s in %s' % (title, legend))

    def click_tile(self, legend, title):
        self.wait_for(lambda b: self.tile(legend, title).click() or True, 'the tile ' + title)
        self.wait_for(lambda b: b.find_element(By.ID, self.tile(legend, title).get_attribute('for'))
                      .is_selected(), title + ' chosen')

    def tiles(self, legend):
        for fieldset in self.browser.find_elements(By.CSS_SELECTOR, 'fieldset.tiles'):
            if fieldset.find_element(By.TAG_NAME, 'legend').text.strip() == legend:
                return fieldset.find_elements(By.CSS_SELECTOR, '.tile label')
        return []

    def type_into(self, title, text):
        # Selected and typed over: clear() would report an empty value first.
        field = self.labelled(title)
        field.send_keys(Keys.CONTROL, 'a')
        field.send_keys(text + Keys.TAB)

    def button(self, title):
        for b in self.browser.find_elements(By.TAG_NAME, 'button'):
            if b.text.strip() == title and b.is_displayed():
                return b
        raise AssertionError('no button ' + title)

    def stored_presets(self):
        out = subprocess.run([KADRO, 'presets', '--json'], env=self.env, capture_output=True,
                             text=True, check=True).stdout
        return json.loads(out)

    def photo_folder(self, name, count, scale=1):
        """`count` copies of the sample portrait, `scale` times its size."""
        folder = os.path.join(self.home, name)
        os.makedirs(folder, exist_ok=True)
        first = os.path.join(folder, 'portrait-00.png')
        if scale == 1:
            shutil.copy(os.path.join(SAMPLES, 'astronaut.png'), first)
        else:
            subprocess.run(['vips', 'resize', os.path.join(SAMPLES, 'astronaut.png'), first,
                            str(scale)], check=True)
        # Links, not copies: the photos are only read.
        for i in range(1, count):
            os.link(first, os.path.join(folder, 'portrait-%02d.png' % i))
        return folder

    def browse_to(self, folder):
        self.wait_for(EC.visibility_of_element_located((By.ID, 'browser-path')))
        # The first listing lands before the path is typed over.
        self.wait_for(lambda b: b.find_element(By.ID, 'browser').get_attribute('data-path'))
        path = self.browser.find_element(By.ID, 'browser-path')
        path.clear()
        path.send_keys(folder + Keys.ENTER)
        # The listing of the folder, not just the typed path.
        self.wait_for(lambda b: b.find_element(By.ID, 'browser').get_attribute('data-path') == folder,
                      'the browser to open ' + folder)

    def add_photos_from(self, folder):
        self.browser.find_element(By.ID, 'pick-photos').click()
        self.browse_to(folder)
        self.wait_for(lambda b: b.find_elements(By.CSS_SELECTOR, '#browser-entries .entry.file'))
        self.browser.find_element(By.ID, 'browser-add-all').click()

    def remove_all_photos(self):
        while True:
            buttons = self.browser.find_elements(By.CSS_SELECTOR, '#photos .photo button')
            if not buttons:
                return
            count = len(buttons)
            buttons[0].click()
            self.wait_for(lambda b: len(b.find_elements(By.CSS_SELECTOR, '#photos .photo button')) < count)

    def choose_export_folder(self, folder):
        self.browser.find_element(By.CSS_SELECTOR, '#recipe .chooser button').click()
        self.browse_to(folder)
        self.browser.find_element(By.ID, 'browser-choose').click()
        self.wait_for(lambda b: b.find_element(By.CSS_SELECTOR, '#recipe .chooser input')
                      .get_attribute('value') == folder, 'the chosen folder to show')

    def finished_task(self):
        self.wait_for(EC.presence_of_element_located((By.CSS_SELECTOR, '#task-text.outcome, #task-text.problem')),
                      'the task to end')
        return self.browser.find_element(By.ID, 'task-text').text

    # ---- the pages ----

    def test_1_presets_show_with_icons(self):
        self.go('#/presets', '#view-presets fieldset')
        titles = [t.text.strip() for t in self.tiles('Kadro Presets')]
        self.assertEqual(titles, ['Circle', 'Hexagon', 'Just Border', 'Square'])
        for label in self.tiles('Kadro Presets'):
            image = label.find_element(By.TAG_NAME, 'img')
            self.assertTrue(image.get_attribute('src').startswith('data:image/png'))
            self.assertGreater(self.browser.execute_script('return arguments[0].naturalWidth', image), 0)
        self.shot('presets')

    def test_2_rename_and_save_reaches_the_store(self):
        self.go('#/presets', '#view-presets fieldset')
        self.click_tile('Kadro Presets', 'Hexagon')
        self.wait_for(lambda b: self.labelled('Name').get_attribute('value') == 'Hexagon')
        self.type_into('Name', 'Hexa2')
        self.wait_for(EC.presence_of_element_located((By.ID, 'unsaved')), 'the unsaved mark')
        self.shot('presets-unsaved')

        # Choosing another preset with unsaved edits asks first; saying no keeps them.
        self.tile('Kadro Presets', 'Circle').click()
        self.wait_for(EC.visibility_of_element_located((By.ID, 'ask-no')), 'the question')
        self.shot('presets-leave')
        self.browser.find_element(By.ID, 'ask-no').click()
        self.wait_for(lambda b: self.labelled('Name').get_attribute('value') == 'Hexa2')

        self.button('Save').click()
        self.wait_for(lambda b: 'Hexa2' in [t.text.strip() for t in self.tiles('Kadro Presets')],
                      'Hexa2 in the list')
        self.assertFalse(self.browser.find_elements(By.ID, 'unsaved'))
        stored = self.stored_presets()
        self.assertIn('Hexa2', stored)
        self.assertNotIn('Hexagon', stored)
        self.assertEqual(stored['Hexa2']['type'], 'hex')

    def test_3_bad_custom_colour_shows_the_error(self):
        self.go('#/presets', '#view-presets fieldset')
        self.click_tile('Kadro Presets', 'Hexa2')
        self.wait_for(lambda b: self.labelled('Name').get_attribute('value') == 'Hexa2')
        if not self.labelled('Add Border').is_selected():
            self.labelled('Add Border').click()
        self.wait_for(lambda b: self.tiles('Border Color'), 'the colour list')
        self.type_into('Custom Color', '#12zz45')
        self.wait_for(lambda b: 'Invalid color, should be in #RRGGBB format.' in b.find_element(By.ID, 'view-presets').text,
                      'the colour error label')
        custom = self.tile('Border Color', 'custom')
        image = custom.find_element(By.TAG_NAME, 'img')
        # The error swatch: a red cross over grey, so red in the middle.
        pixel = self.browser.execute_script('''
            const img = arguments[0];
            const canvas = document.createElement('canvas');
            canvas.width = img.naturalWidth; canvas.height = img.naturalHeight;
            const g = canvas.getContext('2d');
            g.drawImage(img, 0, 0);
            return Array.from(g.getImageData(canvas.width / 2, canvas.height / 2, 1, 1).data);''', image)
        self.assertGreater(pixel[0], 180)
        self.assertLess(pixel[1], 80)
        self.shot('presets-colour-error')

        # A number the plug-in does not take is said beside the field.
        self.type_into('Max Size', 'abc')
        self.wait_for(lambda b: 'was not taken' in b.find_element(By.ID, 'view-presets').text,
                      'the note beside Max Size')
        self.assertEqual(self.labelled('Max Size').get_attribute('value'), '144')

        # The keyboard alone reaches the buttons.
        self.browser.find_element(By.TAG_NAME, 'body').click()
        reached = set()
        for _ in range(80):
            self.browser.switch_to.active_element.send_keys(Keys.TAB)
            reached.add(self.browser.switch_to.active_element.text.strip())
            if {'Save', 'Save New Preset', 'Delete'} <= reached:
                break
        self.assertTrue({'Save', 'Save New Preset', 'Delete'} <= reached, reached)

    def test_4_export_two_photos_twice(self):
        source = self.photo_folder('two', 2)
        dest = os.path.join(self.home, 'out')
        os.makedirs(dest)
        self.go('#/export', '#recipe .panel')
        self.add_photos_from(source)
        self.wait_for(lambda b: len(b.find_elements(By.CSS_SELECTOR, '#photos .photo')) == 2, 'two photos')
        self.choose_export_folder(dest)
        self.button('Export Photos').click()
        self.finished_task()
        results = self.browser.find_elements(By.CSS_SELECTOR, '#results .result')
        self.assertEqual(len(results), 2)
        names = sorted(e.text for e in self.browser.find_elements(By.CSS_SELECTOR, '.result-name'))
        self.assertEqual(names, ['portrait-00.png', 'portrait-01.png'])
        self.shot('export')

        self.button('Export Photos').click()
        self.wait_for(lambda b: sorted(e.text for e in b.find_elements(By.CSS_SELECTOR, '.result-name'))
                      == ['portrait-00 1.png', 'portrait-01 1.png'], 'numbered names')
        self.assertEqual(len(os.listdir(dest)), 4)
        self.remove_all_photos()

    def test_5_cancel_a_long_export(self):
        # Large enough that the export lasts seconds, however fast one crop
        # gets: the cancel must land while photos are still being written.
        source = self.photo_folder('many', 40, scale=4)
        dest = os.path.join(self.home, 'out-long')
        os.makedirs(dest)
        self.go('#/export', '#recipe .panel')
        self.remove_all_photos()
        self.add_photos_from(source)
        self.wait_for(lambda b: len(b.find_elements(By.CSS_SELECTOR, '#photos .photo')) == 40, '40 photos')
        self.choose_export_folder(dest)
        self.button('Export Photos').click()
        # Progress redraws the button: click whichever is there.
        self.wait_for(lambda b: b.find_element(By.ID, 'task-cancel').click() or True, 'Cancel')
        message = self.finished_task()
        match = re.search(r'Cancelled: (\d+) of 40 photos written', message)
        self.assertTrue(match, message)
        written = int(match.group(1))
        self.assertLess(written, 40)
        self.assertEqual(len(os.listdir(dest)), written)
        self.assertEqual(len(self.browser.find_elements(By.CSS_SELECTOR, '#results .result')), written)
        self.shot('export-cancelled')
        self.remove_all_photos()

    def test_6_open_with_crops_in_place_after_asking(self):
        source = self.photo_folder('in-place', 1)
        photo = os.path.join(source, 'portrait-00.png')
        before = os.path.getsize(photo)
        self.go('#/open-with', '#actions fieldset')
        self.remove_all_photos()
        self.add_photos_from(source)
        self.wait_for(lambda b: len(b.find_elements(By.CSS_SELECTOR, '#photos .photo')) == 1)
        self.wait_for(lambda b: self.tiles('Preset'))
        self.click_tile('Preset', 'Circle')
        self.button('Crop in Place…').click()
        self.wait_for(EC.visibility_of_element_located((By.ID, 'ask-yes')))
        self.assertIn(photo, self.browser.find_element(By.CSS_SELECTOR, 'dialog.ask').text)
        self.shot('open-with-confirm')
        self.browser.find_element(By.ID, 'ask-yes').click()
        self.assertIn('Cropped 1 of 1', self.finished_task())
        self.assertNotEqual(os.path.getsize(photo), before)
        self.assertEqual(len(self.browser.find_elements(By.CSS_SELECTOR, '#results .result img')), 2)
        self.shot('open-with')

    def test_7_why_draws_the_face_and_the_crop(self):
        # A photo without a face, uploaded from the page.
        blank = os.path.join(self.home, 'blank.png')
        subprocess.run(['vips', 'black', blank, '320', '200'], check=True)
        self.go('#/export', '#photos')
        self.browser.find_element(By.ID, 'upload').send_keys(blank)
        self.wait_for(lambda b: 'blank.png' in b.find_element(By.ID, 'photos').text, 'the upload')
        self.go('#/why', '#why-list')
        self.wait_for(lambda b: 'Left uncropped: no face' in b.find_element(By.ID, 'why-list').text,
                      'the reason for the blank photo')
        self.wait_for(EC.presence_of_element_located((By.CSS_SELECTOR, '#why-list svg rect.face')),
                      'a face box')
        self.assertTrue(self.browser.find_elements(By.CSS_SELECTOR, '#why-list svg circle.eye'))
        self.assertTrue(self.browser.find_elements(By.CSS_SELECTOR, '#why-list svg rect.crop'))
        self.shot('why')

    def test_8_about_shows_logo_and_version(self):
        self.go('#/about', '#view-about')
        logo = self.browser.find_element(By.CSS_SELECTOR, '#view-about img')
        self.wait_for(lambda b: b.execute_script('return arguments[0].naturalWidth', logo) > 0, 'the logo')
        self.assertRegex(self.browser.find_element(By.ID, 'version').text, r'Version \d+\.\d+')
        self.shot('about')
        # A narrow window stacks the panels.
        self.browser.set_window_size(430, 1000)
        self.go('#/presets', '#view-presets fieldset')
        self.shot('presets-narrow')
        self.browser.set_window_size(1280, 1000)

    def test_9_no_console_errors(self):
        errors = [entry for entry in self.browser.get_log('browser') if entry['level'] == 'SEVERE']
        self.assertEqual(errors, [], '\n'.join(e['message'] for e in errors))


if __name__ == '__main__':
    unittest.main(verbosity=2)
