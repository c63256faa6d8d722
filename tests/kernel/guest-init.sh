#!/bin/busybox sh
# The guest's init: the host controller's real drivers, udev's daemon for hotplug, then the
# test program. The kernel command line names the controller (quorix.hc=ehci|xhci) and the
# scenarios (quorix.run=a,b or all). Results go to the console, ttyS0; ttyS1 reaches the host.
/bin/busybox --install -s /bin
export PATH=/bin LD_LIBRARY_PATH=/lib:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run

hc=ehci
run=all
for word in $(cat /proc/cmdline); do
  case $word in
    quorix.hc=*) hc=${word#quorix.hc=} ;;
    quorix.run=*) run=${word#quorix.run=} ;;
  esac
done

insmod /lib/modules/usb-common.ko
insmod /lib/modules/usbcore.ko autosuspend=-1
case $hc in
  ehci) insmod /lib/modules/ehci-hcd.ko && insmod /lib/modules/ehci-pci.ko ;;
  xhci) insmod /lib/modules/xhci-hcd.ko && insmod /lib/modules/xhci-pci.ko ;;
esac

# libusb counts plugs and unplugs from udev's events.
systemd-udevd --daemon --resolve-names=never 2>/dev/null
udevadm trigger --action=add
udevadm settle --timeout=10
echo "QUORIX-GUEST booted on $hc"

# The project's rule tags the boards' nodes for logind's seat access.
for device in /sys/bus/usb/devices/*; do
  [ "$(cat "$device/idVendor" 2>/dev/null)" = dead ] || continue
  node=/dev/bus/usb/$(printf %03d "$(cat "$device/busnum")")/$(printf %03d "$(cat "$device/devnum")")
  if udevadm info --query=property --path="$device" | grep -q '^TAGS=.*:uaccess:' && [ -c "$node" ]; then
    udev_rule=pass
  else
    udev_rule="fail: $node not tagged uaccess: $(udevadm info --query=property --path="$device" | grep TAGS)"
  fi
done
case $run in all|*udev_rule*) echo "RESULT $hc udev_rule ${udev_rule:-fail: no board found}" ;; esac

quorix_guest_test "$hc" "$run" </dev/null
echo "QUORIX-GUEST done $?"
poweroff -f
