"""Crash reports: crash log, archives by share level, rotation, orderly stop on SIGUSR1."""
import os
import signal
import stat


def archives(host):
    d = os.path.join(host.media, "crashes")
    return sorted(os.listdir(d)) if os.path.isdir(d) else []


def crash(host, sig, settings):
    d = host.start_daemon(settings=settings)
    d.signal(sig)
    code = d.wait_exit(timeout=60)
    return d, code


def test_segfault_writes_log_and_archive(host):
    d, code = crash(host, signal.SIGSEGV, {"ShareCrashData": "3"})
    assert code == 255
    log = os.path.join(host.tmp, "lyrd_crash.log")
    assert os.path.exists(log)
    assert stat.S_IMODE(os.stat(log).st_mode) == 0o600
    assert os.path.getsize(log) > 0
    assert "Crash handler called:  11" in d.log()
    names = archives(host)
    assert len(names) == 1 and names[0].startswith("lyr-BBB-") and names[0].endswith(".zip")


def test_no_archive_at_share_level_zero(host):
    _, code = crash(host, signal.SIGSEGV, {"ShareCrashData": "0"})
    assert code == 255
    assert archives(host) == []
    assert os.path.exists(os.path.join(host.tmp, "lyrd_crash.log"))


def test_rotation_keeps_ten_plus_the_new_one(host):
    os.makedirs(os.path.join(host.media, "crashes"))
    for i in range(12):
        host.write_file("crashes/lyr-BBB-0.1-2020-01-%02d_00-00-00.zip" % (i + 1), "old")
    crash(host, signal.SIGSEGV, {"ShareCrashData": "1"})
    names = archives(host)
    assert len(names) == 11
    assert "lyr-BBB-0.1-2020-01-01_00-00-00.zip" not in names
    assert "lyr-BBB-0.1-2020-01-02_00-00-00.zip" not in names


def test_sigusr1_reports_and_stops_in_order(host):
    d, code = crash(host, signal.SIGUSR1, {"ShareCrashData": "0"})
    assert code == 0
    assert "Main Loop complete, shutting down." in d.log()
