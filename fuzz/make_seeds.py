#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz targets into fuzz/corpus/<target>/.

The message seeds name the jobs of the fuzz client (fuzz/fuzzmessage.cpp) by
their names and ids; the cfg and settings seeds follow the files the tests
use; the listings follow the "getOutputDir" answer. Seeds recorded from a run
against the farm simulator (fuzz/record_seeds.sh) lie next to these as
recorded_*.json and are left alone. Run from anywhere: python3 fuzz/make_seeds.py
"""

import json
import os

ROOT = os.path.dirname(os.path.abspath(__file__))


def compact(obj):
    return json.dumps(obj, separators=(",", ":"))


def write(target, name, content):
    folder = os.path.join(ROOT, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    data = content.encode("utf-8") if isinstance(content, str) else content
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def message(action, data=None, custom=None, **top):
    obj = {"action": action}
    if data is not None:
        obj["data"] = data
    if custom is not None:
        obj["custom"] = custom
    obj.update(top)
    return compact(obj)


def job(name, jid):
    return {"scene": name, "id": jid}


def message_seeds():
    s = {}
    s["login_accepted"] = message("login", {
        "is_logged_in": True, "customFtpPass": "transfer-secret", "enableTeams": True,
        "maxRunningDownloads": 3, "maxRunningUploads": 2, "textureCacheEnabled": True,
        "subdomainWss": "eu2", "isTrial": False,
        "teams": [{"id": "7", "name": "Studio North", "approxrp": "0.0", "rp_available": "480.0", "active": True},
                  {"id": "9", "name": "Night Shift", "approxrp": "55.5", "rp_available": "60.0", "active": True,
                   "trial": True}]})
    s["login_refused"] = message("login", {"is_logged_in": False, "isBlocked": True})
    s["user_info"] = message("getUserInfo", {"isTrial": True, "username": "fuzzer"})
    s["renderpoints"] = message("getRenderpoints", {"result": 125.5}, {"virtual": True})
    s["renderpoints_bought"] = message("renderpointsBought", {})
    s["teams"] = message("getTeams", {"teams": [{"id": 7, "name": "Studio North", "approxrp": 1.5,
                                                 "rp_available": "10", "active": False}]})
    s["user_token"] = message("getUserToken", {"token": "00112233445566778899aabbccddeeff"},
                              {"linkUrl": "https://portal.example/my-orvel/control-center/"})
    s["out_of_points"] = message("jobOutOfPoints", {"scene": "rendering", "id": "9012"})
    s["state_rendered"] = message("jobStateChange", {"jobid": "9012", "state": "RENDERED"})
    s["state_renderable"] = message("jobStateChange", {"jobid": "9010", "state": "RENDERABLE"})
    s["state_unknown_job"] = message("jobStateChange", {"jobid": "12345", "state": "QUEUED"})
    s["project_deleted"] = message("projectDeleted", {"scene": "rendered"})
    s["autoupdate"] = message("autoupdate", {"content": {"version": "1.0", "build": 7,
                                                         "files": ["PluginNetConnection.dll:1024"]}},
                              "autoupdate")
    s["plugin_config"] = message("getPluginConfig", {"program": "max", "version": 3,
                                                     "content": "plugin=vray\r\nversion=3\r\n"})
    s["folder_contents"] = message("getProjectFolderContents",
                                   [{"file": "new_local", "size": 26}, {"file": "new_local.cfg", "size": 200},
                                    {"file": "uploaded", "size": 25}], {"serverNumberUpload": 1},
                                   serverNumberUpload=1)
    s["autoupdate_signal"] = message("autoupdatesignal", {"time": 5})
    projects = [
        {"name": "rendering", "id": "9012", "status": "RENDERING", "teamid": "0", "isTrial": False, "isPaid": True,
         "download_enabled": True, "queued": False, "server_download": 1, "restartDownloadCount": 0,
         "error_text": ""},
        {"name": "rendered", "id": "9015", "status": "RENDERED", "teamid": "0", "isTrial": False, "isPaid": True,
         "download_enabled": True, "queued": False, "server_download": 1, "restartDownloadCount": 1,
         "error_text": ""},
        {"name": "upload_error", "id": "9007", "status": "ERROR_UPL", "teamid": "0", "isTrial": False,
         "isPaid": True, "download_enabled": True, "queued": False, "server_download": 1,
         "restartDownloadCount": 0, "error_text": "missing: tex/wood.png"},
        {"name": "team_job", "id": "9024", "status": "QUEUED", "teamid": "7", "isTrial": False, "isPaid": True,
         "download_enabled": True, "queued": True, "server_download": 2, "restartDownloadCount": 0,
         "error_text": ""},
        {"name": "brand_new", "id": "9100", "status": "UPLOADING", "teamid": "0", "isTrial": True,
         "isPaid": False, "download_enabled": False, "queued": False, "server_download": 1,
         "restartDownloadCount": 0, "error_text": ""},
    ]
    s["projects"] = message("getProjectStates", {"projects": projects}, {"info": "syncslot"})
    s["projects_empty"] = message("getProjectStates", {"projects": []}, {"info": "timer"})
    s["test_file"] = message("prepareTestFile", {"result": True})
    s["texture_cache"] = message("textureCacheLookup", {"onlinePath": "tex/wood.png", "checksum": "abc123",
                                                        "result": "found"}, {"scene": "uploading", "jobId": "9005"})
    s["tex_files"] = message("getTexFiles", {"files": {"tex/wood.png": 64, "tex/stone.jpg": 1000}},
                             {"appTexRequest": True})
    s["ssh_info"] = message("sshInfo", {"port1": "50001", "port2": "50002", "port3": "50003"})
    s["ssh_info_error"] = message("sshInfo", {"Error": True})
    s["project_uploaded"] = message("projectUploaded", job("uploading", "9005"))
    s["project_uploading_new"] = message("projectUploading", {"scene": "remote_upload", "id": "9200"})
    s["frame_state"] = message("frameStateChange", {"jobid": "9012", "id": "9012", "scene": "rendering",
                                                    "frame": 3, "state": "RENDERED"})
    s["progress"] = message("getProgressInfos", {"id": "9012", "scene": "rendering", "State": "RENDERING",
                                                 "started": "4", "engines": "8", "ispaid": "1", "paused": False,
                                                 "progress": "42"}, {"id": "9012", "scene": "rendering"})
    s["progress_paused"] = message("getProgressInfos", {"id": "9013", "scene": "render_paused", "State": "PAUSED",
                                                        "started": "0", "engines": "0", "ispaid": "0",
                                                        "paused": True, "progress": "100"})
    s["create_dirs"] = message("createDirs", {"result": True, "errors": ""}, {"scene": "new_local"})
    s["check_files_failed"] = message("checkFiles", {"result": False,
                                                     "errors": "missing: tex/wood.png\nsize of uploading: 3 bytes, expected 25"},
                                      {"scene": "uploading", "jobId": "9005"})
    s["check_files_passed"] = message("checkFiles", {"result": True, "errors": ""}, {"scene": "upload_started"})
    s["addjob"] = message("addjob", {"id": "9300", "server_download": 1, "server_upload": 1},
                          {"scene": "upload_started"})
    s["output_dir"] = message("getOutputDir", {"folders": [{"file": "passes"}],
                                               "files": [{"file": "frame_0001.exr", "size": 100},
                                                         {"file": "frame_0002.exr", "size": 4000},
                                                         {"file": "passes/beauty_0001.exr", "size": 30},
                                                         {"file": "frame_0003.exr", "size": 128}]},
                              {"scene": "rendered", "jobId": "9015"})
    s["tex_folder"] = message("getTexFolderContents", {"files": [{"file": "wood.png", "size": 64},
                                                                 {"file": "sub/stone.jpg", "size": 5}]},
                              {"scene": "new_local"})
    s["overlay"] = message("generateOverlay", {"result": True, "filename": "frame_0001_overlaid.exr",
                                               "scene": "trial_job", "id": "9026"})
    s["pack"] = message("pack", {"result": True, "scene": "downloaded", "id": "9019"})
    s["unpack"] = message("unpack", {"result": False}, {"scene": "uploading"})
    s["restart_download"] = message("restartDownload", {"scene": "downloaded", "id": "9019",
                                                        "restartDownloadCount": 2, "controlcenter_id": "cc-1"})
    for action, name, jid in [("resumeDownload", "download_paused", "9017"),
                              ("pauseDownload", "downloading", "9016"),
                              ("pauseUpload", "uploading", "9005"),
                              ("selectDownloadFolder", "rendered", "9015"),
                              ("setNormalDownloadPriority", "downloading", "9016"),
                              ("setHighDownloadPriority", "downloading", "9016"),
                              ("setNormalUploadPriority", "uploading", "9005"),
                              ("setHighUploadPriority", "uploading", "9005"),
                              ("openDownloadFolder", "downloaded", "9019")]:
        s["app_" + action] = message(action, {"scene": name, "id": jid, "controlcenter_id": "cc-7"})
    s["app_request_unknown_job"] = message("pauseUpload", {"scene": "not_a_job"})
    s["by_custom_scene"] = message("getProgressInfos", {"State": "QUEUED", "progress": "0"},
                                   {"scene": "queued", "jobId": "9011"})
    s["ping_then_login"] = '{"action":"ping"}' + message("login", {"is_logged_in": True})
    s["brace_in_string"] = message("getUserInfo", {"isTrial": False, "username": "a{b}c\"{"})
    s["numbers_for_texts"] = message("jobStateChange", {"jobid": 9016, "state": "PAUSED"})
    s["unknown_action"] = message("somethingNew", {"scene": "rendered"})
    s["not_json"] = '{"action":"login","data":'
    s["array"] = '[{"action":"login"}]'
    return s


CFG_SEEDS = {
    "header": "renderer=V-Ray GPU\r\nprogram=3dsmax 2024\r\nteamid=7\r\nserverNumber=2\r\n"
              "serverNumberUpload=2\r\nprio=3\r\njobLocalId=0f8fad5b-d9cb-469f-a165-70867728950e\r\n",
    "file_section": "renderer=redshift\r\nprogram=cinema4d\r\n[files]\r\npaths=3\r\n"
                    "path0=job\r\npathlocal0=C:/scenes/job\r\npathsize0=1200\r\n"
                    "path1=tex/wood.png\r\npathlocal1=C:/scenes/tex/wood.png\r\npathsize1=64\r\n"
                    "path2=tex/sub/stone.jpg\r\npathlocal2=C:/scenes/tex/sub/stone.jpg\r\npathsize2=99\r\n",
    "status_lines": "renderer=vray\r\n[files]\r\npath0=job\r\npathlocal0=/p/job\r\npathsize0=5\r\n\r\n"
                    "\r\nautostart=2\r\nuploadfinished=true\r\n\r\ndownloadpath=/tmp/out\r\n"
                    "rendercomplete=true\r\nlinkCreated=true\r\ndownloaded=true\r\ndownloadFinishedSent=true\r\n"
                    "restartDownload=true\r\nrestartDownloadCount=4\r\n",
    "autostart_toggle": "autostart=1\r\nautostart=0\r\nautostart=1\r\ndirscreated=true\r\n",
    "restart_false": "downloaded=true\r\nrestartDownload=true\r\nrestartDownload=false\r\n",
    "broken_group": "[files]\r\npath0=a/b\r\npathsize0=1\r\npathlocal1=/x\r\npathsize1=2\r\n"
                    "path2=c\r\npathlocal2=/c\r\npathsize2=-5\r\npath3=d/e/\r\npathlocal3=/d\r\npathsize3=x\r\n"
                    "[other]\r\nprio=0\r\n",
    "big_sizes": "[files]\r\npath0=a/a\r\npathlocal0=/a\r\npathsize0=9223372036854775807\r\n"
                 "path1=b/b\r\npathlocal1=/b\r\npathsize1=9223372036854775807\r\n",
    "live_list": "C:\\scenes\\a.png|/tex\n/tmp/scene.max|/\nno bar here\n|/empty\nC:/x/y.jpg|/tex/sub/\n",
    "lf_only": "renderer=gpu\nprogram=maya\n[files]\npath0=m\npathlocal0=/m\npathsize0=3\n",
    "prio_numbers": "prio=2147483647\r\nteamid=-1\r\nserverNumber=x\r\nrestartDownloadCount=99999999999\r\n",
    "utf8_names": "renderer=Arnold\r\n[files]\r\npath0=szene/Überblick.exr\r\n"
                  "pathlocal0=/home/nutzer/Überblick.exr\r\npathsize0=12\r\n",
}

SETTINGS_SEEDS = {
    "typical": "[UserData]\nusername=anna\nfirstRunDone=true\n\n[PathOptions]\nlocalProjectsFolder=/tmp\n"
               "[Settings]\nlogLevel=3\nkiteId=8d7f2a4e-1111-2222-3333-444455556666\nisBeta=true\n"
               "use30plugins=false\nlicensePort1=5053\nlicensePort2=5054\nlicensePort3=5055\n"
               "licenseServerArnold=licence.example\nlicenseCountArnold=2\nProgramLanguage=de\n",
    "empty": "",
    "network": "[Network]\nserverWss=wss://queue.example\nsubdomainWss=eu3\nserverWssTemplate=wss://%1.example\n"
               "serverFtp=ftp.example\nserverFtp2=ftp2.example\nserverSftpPort=2222\nserverUdpPort=4000\n"
               "serverHttpsHost=files.example\npingInterval=-4\nproxySettingHTTP=2\nproxyHttpMethod=1\n"
               "proxyHttpAddress=proxy.example\nproxyHttpPort=70000\nproxyHttpUsername=u\n"
               "proxyHttpPassword=p\nbandwidthLimitDownload=true\nuseSftp=true\n",
    "case_mix": "[settings]\nLICENSEPORT1=1\nLicensePort1=2\nlicenseport1local=3\n[userdata]\nUSERNAME=bob\n",
    "values": "[Settings]\nNotificationProgress=abc\nNotificationDuration=1e9\nlogLevel=2\nadminMode=yes\n"
              "[System]\nCPUFrequency=3.5GHz\nCPUCores=-1\n[plugins]\npluginDir=plugins\npluginDownloader=\n"
              "versionVray=0x10\nuseBeta3dsPlugin=true\n[Debug]\nserverSftp=debug.example\nerrorTest=true\n",
    "escapes": "[UserData]\nusername=\"a;b\\\\c\\x41\"\npassword=secret\n[PathOptions]\nvrayPath=@Variant(\\0\\0\\0\\x7f)\n"
               "[Settings]\nkiteId=@ByteArray(xyz)\nuseTestEnvironment=true\n",
    "list_value": "[Settings]\nkiteId=a, b, c\nProgramLanguage=en, de\n",
}

FILELIST_SEEDS = {
    "listing": {"folders": [{"file": "passes"}, {"file": "passes/deep"}],
                "files": [{"file": "frame_0001.exr", "size": 100}, {"file": "frame_0002.exr", "size": 4000},
                          {"file": "frame_0003.exr", "size": 55}, {"file": "passes/beauty_0001.exr", "size": 31},
                          {"file": "passes/deep/z_0001.exr", "size": 20}, {"file": "frame_0005.exr", "size": 128},
                          {"file": "frame_0006.exr", "size": 127}, {"file": "frame_0004_overlaid.png", "size": 9}]},
    "answer": {"action": "getOutputDir", "custom": {"scene": "own_job"},
               "data": {"folders": [{"file": "new/sub"}], "files": [{"file": "new/sub/a.exr", "size": 5}]}},
    "empty": {"folders": [], "files": []},
    "refused_names": {"folders": [{"file": "../up"}, {"file": "/abs"}, {"file": "a\\b"}, {"file": "CON"}],
                      "files": [{"file": "../../etc/passwd", "size": 1}, {"file": "C:x", "size": 2},
                                {"file": "ok.exr", "size": -3}, {"file": "ok2.exr", "size": "17"},
                                {"file": "ok3.exr", "size": "x"}, {"file": "ok4.exr", "size": 1.5e3}]},
    "big_sizes": {"folders": [], "files": [{"file": "a.exr", "size": 9.2e18}, {"file": "b.exr", "size": 9.2e18}]},
}


def main():
    for name, text in message_seeds().items():
        write("fuzz_message", name + ".json", text)
    for name, text in CFG_SEEDS.items():
        write("fuzz_cfg", name + ".cfg", text)
    for name, text in SETTINGS_SEEDS.items():
        write("fuzz_settings", name + ".ini", text)
    for name, obj in FILELIST_SEEDS.items():
        write("fuzz_filelist", name + ".json", compact(obj))
    # Two halves, each a JSON array: files, then folders.
    files = compact([{"file": "frame_0001.exr", "size": 100}, {"file": "passes/x.exr", "size": 3}])
    folders = compact([{"file": "passes"}])
    pad = " " * max(0, len(files) - len(folders))
    write("fuzz_filelist", "halves.txt", files + folders + pad)


if __name__ == "__main__":
    main()
