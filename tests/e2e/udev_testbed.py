#!/usr/bin/python3
# udev_testbed.py --sticks N --log FILE -- SIMULATOR [ARGS...] -- COMMAND [ARGS...]
#
# A umockdev test bed that plays the computer's USB bus for `pellan-stick-sim --testbed-fd`, and
# COMMAND run in it (its exit status is ours). Each stick the simulator plugs in becomes what the
# kernel and udev make of a real one: the USB device 1-K below one root hub with the ids of its
# mode, one interface per port and a tty node (ttyUSB<n>, a new n at every enumeration) tagged as
# udev tags it; the nodes are umockdev's own pseudo-terminals, whose master sides go to the
# simulator. Normal firmware: product 9000, DIAG on interface 0 and AT on 1 (driver option); boot
# downloader and flash programmer: product 9008, DIAG alone on interface 0 (driver qcserial). The
# simulator runs outside the bed; COMMAND, like this script, under umockdev-wrapper. FILE gets one
# line per plug and unplug. The tty devices have no "dev" number: with one, umockdev would answer
# every terminal ioctl itself (isatty fails) instead of leaving it to the pseudo-terminal.
import os
import shutil
import socket
import subprocess
import sys
import threading

import gi

gi.require_version('UMockdev', '1.0')
from gi.repository import UMockdev  # noqa: E402

VENDOR = '05c6'
MODES = {'normal': ('9000', 'option', {'diag': 0, 'at': 1}),
         'download': ('9008', 'qcserial', {'diag': 0})}
HUB = '/devices/pci0000:00/0000:00:14.0/usb1'


def device(path, props, attrs=(), node=None):
    lines = ['P: ' + path] + (['N: ' + node] if node else [])
    lines += ['E: %s=%s' % p for p in props] + ['A: %s=%s' % a for a in attrs]
    return '\n'.join(lines) + '\n'


class Bus:
    def __init__(self, log):
        self.bed = UMockdev.Testbed.new()
        self.log = log
        self.next_tty = 0
        self.next_devnum = 2
        self.plugged = {}  # stick -> (sysfs paths, parents first; master descriptors)
        self.changed = threading.Condition()

    def plug(self, stick, mode, ports):
        product, driver, numbers = MODES[mode]
        usb = '%s/1-%d' % (HUB, stick)
        ids = [('ID_VENDOR_ID', VENDOR), ('ID_MODEL_ID', product)]
        text = [device(usb, [('SUBSYSTEM', 'usb'), ('DEVTYPE', 'usb_device'), ('DRIVER', 'usb')] +
                       ids, [('idVendor', VENDOR), ('idProduct', product), ('busnum', '1'),
                             ('devnum', str(self.next_devnum))])]
        self.next_devnum += 1
        paths, nodes = [usb], []
        for port in ports:
            number = numbers[port]
            interface = '%s/1-%d:1.%d' % (usb, stick, number)
            name = 'ttyUSB%d' % self.next_tty
            serial = '%s/%s' % (interface, name)
            tty = '%s/tty/%s' % (serial, name)
            text.append(device(interface, [('SUBSYSTEM', 'usb'), ('DEVTYPE', 'usb_interface'),
                                           ('DRIVER', driver)], [('bInterfaceNumber', '%02x' % number)]))
            text.append(device(serial, [('SUBSYSTEM', 'usb-serial'), ('DRIVER', driver + '1')]))
            text.append(device(tty, [('SUBSYSTEM', 'tty'), ('DEVNAME', '/dev/' + name)] + ids +
                               [('ID_USB_INTERFACE_NUM', '%02x' % number), ('ID_USB_DRIVER', driver)],
                               node=name))
            paths += [interface, serial, tty]
            nodes.append(name)
            self.next_tty += 1
        self.bed.add_from_string('\n'.join(text))
        masters = [self.bed.get_dev_fd('/dev/' + n) for n in nodes]
        assert all(fd >= 0 for fd in masters), 'no pseudo-terminal behind %s' % nodes
        self.log.write('plug %d %s %s:%s %s\n' % (stick, mode, VENDOR, product, ' '.join(nodes)))
        self.log.flush()
        return paths, masters

    def announce(self, paths, action):
        for path in (paths if action == 'add' else reversed(paths)):
            self.bed.uevent('/sys' + path, action)

    def serve(self, sim):
        """Answers the simulator's requests until it closes its end."""
        for request in sim.makefile('r'):
            words = request.split()
            stick = int(words[1])
            if words[0] == 'plug':
                paths, masters = self.plug(stick, words[2], words[3].split(','))
                socket.send_fds(sim, [b'ports %d\n' % stick], masters)
                self.announce(paths, 'add')
                with self.changed:
                    self.plugged[stick] = (paths, masters)
                    self.changed.notify_all()
            elif words[0] == 'unplug':
                with self.changed:
                    paths, masters = self.plugged.pop(stick)
                self.announce(paths, 'remove')
                for path in reversed(paths):  # each one's bus and class links go with it
                    self.bed.remove_device('/sys' + path)
                for fd in masters:
                    os.close(fd)  # a host still holding a node now reads end of file
                self.log.write('unplug %d\n' % stick)
                self.log.flush()
                sim.sendall(b'unplugged %d\n' % stick)


def main():
    args = sys.argv[1:]
    sticks = int(args[args.index('--sticks') + 1])
    log = open(args[args.index('--log') + 1], 'a')
    first = args.index('--')
    second = args.index('--', first + 1)
    simulator, command = args[first + 1:second], args[second + 1:]

    bus = Bus(log)
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    outside = {k: v for k, v in os.environ.items() if k != 'LD_PRELOAD'}
    sim = subprocess.Popen(simulator + ['--testbed-fd', str(theirs.fileno())],
                           pass_fds=[theirs.fileno()], env=outside, stdout=log,
                           stderr=subprocess.STDOUT)
    theirs.close()
    server = threading.Thread(target=bus.serve, args=(ours,), daemon=True)
    server.start()
    with bus.changed:
        if not bus.changed.wait_for(lambda: len(bus.plugged) == sticks, timeout=20):
            sim.terminate()
            sys.exit('the simulator plugged in %d of %d sticks' % (len(bus.plugged), sticks))
    inside = dict(os.environ, UMOCKDEV_DIR=bus.bed.get_root_dir())
    status = subprocess.call(command, env=inside)
    sim.terminate()
    sim.wait()
    server.join(timeout=10)
    log.close()
    shutil.rmtree(bus.bed.get_root_dir(), ignore_errors=True)
    # umockdev's own clean-up would close the masters it handed out once more.
    os._exit(status)


if __name__ == '__main__':
    main()
