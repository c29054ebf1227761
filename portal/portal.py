#!/usr/bin/env python3
"""Local stand-in for the Vornmark game portal and its statistics server.

Serves the game page with its login, the server list ("xf.html" with the
"login_user" element), the game screen, the portal's forum, customer-service,
recharge and identity pages, a few pages for browser tests, and the
statistics endpoint (POST "/"), which appends every report to a JSON-lines log.
Beside them runs the game server the game's movie connects to (game_server.py).

The client's build points its hosts at loopback addresses that share one port:
the main address carries the game page, the portal's main site and the
statistics endpoint; the forum and the payment site each need their own root
path, so they get addresses of their own (127.0.0.2 and 127.0.0.3 by default).

Python 3 standard library only.
"""

import argparse
import html
import ipaddress
import json
import os
import re
import signal
import socket
import socketserver
import sys
import threading
import time
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, quote, unquote, urlsplit

from game_server import GameServer

GAME_ID = 1530
DEFAULT_PORT = 18765
MAX_BODY = 1024 * 1024          # larger request bodies are refused with 413
MAX_FORM_FIELDS = 200
COOKIE_NAME = "vm_user"
MAX_NAME_CHARS = 32
MAX_CHAT_CHARS = 200               # a chat line longer than this is refused

# Servers on the list page: (id, name, state, badge class).
SERVERS = [
    (1, "星陨之原", "火爆", "hot"),
    (2, "银月港湾", "火爆", "hot"),
    (3, "龙脊山脉", "流畅", "ok"),
    (4, "暮光森林", "流畅", "ok"),
    (5, "永夜王座", "拥挤", "busy"),
    (6, "琥珀荒漠", "流畅", "ok"),
    (7, "苍穹之塔", "新服", "new"),
    (8, "沉睡海岸", "新服", "new"),
]


# ---------------------------------------------------------------------------
# Small helpers

def esc(text):
    return html.escape(str(text), quote=True)


def js_literal(value):
    """JSON for embedding inside <script>: no way to close the tag early."""
    return (json.dumps(value, ensure_ascii=False)
            .replace("<", "\\u003c").replace(">", "\\u003e")
            .replace("&", "\\u0026")
            .replace("\u2028", "\\u2028").replace("\u2029", "\\u2029"))


def now_fields():
    t = time.time()
    iso = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".%03dZ" % int((t % 1) * 1000)
    return {"time": iso, "unix": round(t, 3)}


def valid_name(name):
    if not name or len(name) > MAX_NAME_CHARS or name != name.strip():
        return False
    return all(ord(c) >= 0x20 and ord(c) != 0x7F for c in name)


def tolerant_param(raw_query, key, next_keys=()):
    """Value of `key` in a query whose values the client inserts unescaped.

    A user name such as "a&b" arrives raw, so a plain form parser would cut it
    at the ampersand. The client's address forms put known keys after the
    name; the value runs up to the first "&<next key>=" or to the end.
    Returns None when the key is absent.
    """
    start = None
    if raw_query.startswith(key + "="):
        start = len(key) + 1
    else:
        pos = raw_query.find("&" + key + "=")
        if pos >= 0:
            start = pos + len(key) + 2
    if start is None:
        return None
    end = len(raw_query)
    for nk in next_keys:
        pos = raw_query.find("&" + nk + "=", start)
        if 0 <= pos < end:
            end = pos
    return raw_query[start:end]


def decode_body(raw):
    """Reports are 8-bit text in the sender's ANSI code page; guess it."""
    for enc in ("utf-8", "gbk"):
        try:
            return raw.decode(enc), enc
        except UnicodeDecodeError:
            pass
    return raw.decode("latin-1"), "latin-1"


# ---------------------------------------------------------------------------
# Report log

class EventLog:
    """JSON lines, one per event, flushed at once: tests read it live."""

    def __init__(self, path):
        parent = os.path.dirname(os.path.abspath(path))
        os.makedirs(parent, exist_ok=True)
        self._file = open(path, "a", encoding="utf-8")
        self._lock = threading.Lock()

    def write(self, record):
        line = json.dumps(record, ensure_ascii=False, sort_keys=False)
        with self._lock:
            self._file.write(line + "\n")
            self._file.flush()

    def close(self):
        with self._lock:
            self._file.close()


# ---------------------------------------------------------------------------
# Pages

BASE_CSS = """
:root{--gold:#d8b25c;--gold2:#f3dc9a;--ink:#f1e7d0;--muted:#b3a68a;--panel:rgba(17,13,36,.86);--ember:#e36a3a;--jade:#5fc7a4;--line:rgba(216,178,92,.45)}
*{box-sizing:border-box}
html,body{margin:0;height:100%}
body{font:14px/1.6 "Microsoft YaHei","WenQuanYi Micro Hei","Noto Sans CJK SC","PingFang SC",sans-serif;color:var(--ink);
 background:radial-gradient(circle at 57% 63%,#fff6d8 0,#fff0c6 24px,rgba(243,220,154,.45) 27px,rgba(243,220,154,.12) 60px,rgba(243,220,154,0) 130px) fixed,
  radial-gradient(ellipse at 78% -10%,#3d2c6a 0,#1b1535 45%,#0b091a 85%) fixed;overflow-x:hidden}
a{color:var(--gold2)}
h1,h2,h3{font-weight:700;letter-spacing:.08em;color:var(--gold2);margin:0 0 .5em;text-shadow:0 2px 0 #000,0 0 18px rgba(216,178,92,.35)}
.panel{background:var(--panel);border:1px solid var(--line);border-radius:10px;position:relative;
 box-shadow:0 0 0 1px rgba(0,0,0,.6),0 12px 40px rgba(0,0,0,.55),inset 0 0 32px rgba(216,178,92,.07)}
.panel:before,.panel:after{content:"";position:absolute;width:16px;height:16px;border:2px solid var(--gold);pointer-events:none}
.panel:before{top:-3px;left:-3px;border-right:0;border-bottom:0;border-radius:8px 0 0 0}
.panel:after{bottom:-3px;right:-3px;border-left:0;border-top:0;border-radius:0 0 8px 0}
.btn{display:inline-block;padding:9px 24px;border-radius:6px;border:1px solid #f6d98b;cursor:pointer;font-family:inherit;font-weight:700;font-size:16px;line-height:1.4;
 background:linear-gradient(#efcd78,#b7852f 55%,#8a5a1c);color:#2a1606;letter-spacing:.2em;text-decoration:none;
 box-shadow:0 3px 0 #4d2f0c,0 0 18px rgba(233,196,106,.3)}
.btn:hover{filter:brightness(1.12)}
.btn:active{transform:translateY(2px);box-shadow:0 1px 0 #4d2f0c}
.btn.ghost{background:rgba(216,178,92,.08);color:var(--gold2);border-color:var(--line);box-shadow:none;letter-spacing:.1em;font-weight:400;font-size:14px}
.field{display:block;margin:0 0 14px}
.field span{display:block;color:var(--muted);font-size:13px;margin-bottom:4px}
.field input,.field select{width:100%;padding:9px 12px;border-radius:6px;border:1px solid rgba(216,178,92,.35);font-family:inherit;font-size:15px;
 background:rgba(5,4,14,.7);color:var(--ink);outline:none}
.field input:focus{border-color:var(--gold);box-shadow:0 0 0 3px rgba(216,178,92,.2)}
.topnav{position:relative;z-index:2;display:flex;align-items:center;gap:4px;height:50px;padding:0 28px;
 background:linear-gradient(rgba(8,6,18,.95),rgba(8,6,18,.72));border-bottom:1px solid var(--line)}
.topnav .brand{font-size:19px;font-weight:700;color:var(--gold2);letter-spacing:.18em;margin-right:auto;text-decoration:none}
.topnav .brand small{font-size:11px;color:var(--muted);letter-spacing:.3em;margin-left:8px}
.topnav a.nav{color:var(--ink);text-decoration:none;padding:5px 13px;border-radius:4px}
.topnav a.nav.on,.topnav a.nav:hover{background:rgba(216,178,92,.16);color:var(--gold2)}
.landscape{position:fixed;left:0;right:0;bottom:0;width:100%;height:46vh;z-index:0;pointer-events:none}
.wrap{position:relative;z-index:1;max-width:1120px;margin:0 auto;padding:22px 28px}
.muted{color:var(--muted)}
.notice{padding:8px 12px;border-radius:6px;margin:0 0 14px;font-size:13px}
.notice.err{background:rgba(227,106,58,.15);border:1px solid rgba(227,106,58,.6);color:#ffc9b0}
.notice.ok{background:rgba(95,199,164,.13);border:1px solid rgba(95,199,164,.55);color:#c6f3e3}
.kv{display:grid;grid-template-columns:110px 1fr;gap:6px 12px;margin:0 0 16px}
.kv dt{color:var(--muted)}
.kv dd{margin:0;color:var(--gold2);font-weight:700;word-break:break-all}
.health{position:fixed;left:0;right:0;bottom:0;z-index:2;text-align:center;font-size:11px;color:rgba(241,231,208,.55);padding:5px;
 background:linear-gradient(transparent,rgba(0,0,0,.7))}
"""

# Ridges with a castle, drawn behind the content (the moon is in the body background).
LANDSCAPE_SVG = """<svg class="landscape" viewBox="0 0 1200 400" preserveAspectRatio="none" aria-hidden="true">
<defs><linearGradient id="r1" x1="0" y1="0" x2="0" y2="1"><stop offset="0" stop-color="#2c2350"/><stop offset="1" stop-color="#141029"/></linearGradient>
<linearGradient id="r2" x1="0" y1="0" x2="0" y2="1"><stop offset="0" stop-color="#1d1738"/><stop offset="1" stop-color="#0d0a1d"/></linearGradient>
<linearGradient id="r3" x1="0" y1="0" x2="0" y2="1"><stop offset="0" stop-color="#110d22"/><stop offset="1" stop-color="#07060f"/></linearGradient></defs>
<path fill="url(#r1)" d="M0 250 L90 170 L170 220 L260 130 L360 210 L450 150 L540 230 L650 120 L760 200 L860 140 L980 220 L1080 160 L1200 210 L1200 400 L0 400Z"/>
<path fill="url(#r2)" d="M0 300 L120 230 L210 280 L330 215 L430 290 L560 240 L680 300 L800 235 L920 290 L1040 240 L1200 300 L1200 400 L0 400Z"/>
<path fill="#07060f" d="M780 250 h14 v-40 h8 v-14 h8 v14 h8 v-60 l14 -22 l14 22 v60 h8 v-14 h8 v14 h8 v40 h14 v110 h-124Z" opacity=".95"/>
<path fill="url(#r3)" d="M0 340 L150 300 L300 335 L470 290 L640 340 L820 305 L1000 345 L1200 310 L1200 400 L0 400Z"/>
</svg>"""

HEALTH_NOTICE = ("抵制不良游戏，拒绝盗版游戏。注意自我保护，谨防受骗上当。"
                 "适度游戏益脑，沉迷游戏伤身。合理安排时间，享受健康生活。")

NAV_ITEMS = [
    ("home", "/game/", "官网首页"),
    ("play", "/wd3/index.html", "开始游戏"),
    ("forum", "/bbs/", "玩家论坛"),
    ("kefu", "/api/kefu/wd.php?game_id=%d" % GAME_ID, "客服中心"),
    ("pay", "/pay/?game_id=%d" % GAME_ID, "充值中心"),
    ("fcm", "/my.php?act=fcm", "防沉迷认证"),
]


def page(title, body, css="", script="", body_attrs=""):
    return ("<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
            "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
            "<title>" + esc(title) + "</title><link rel=\"icon\" href=\"data:,\">"
            "<style>" + BASE_CSS + css + "</style></head>"
            "<body" + (" " + body_attrs if body_attrs else "") + ">" + body +
            (("<script>" + script + "</script>") if script else "") +
            "</body></html>\n")


def topnav(active, user=None):
    links = "".join(
        "<a class=\"nav%s\" href=\"%s\">%s</a>" % (" on" if key == active else "", esc(href), esc(label))
        for key, href, label in NAV_ITEMS)
    who = ""
    if user:
        who = "<span class=\"muted\" style=\"margin-left:14px\">%s</span>" % esc(user)
    return ("<nav class=\"topnav\"><a class=\"brand\" href=\"/game/\">沃恩马克<small>VORNMARK</small></a>"
            + links + who + "</nav>")


def portal_page(title, active, content, user=None, css=""):
    body = topnav(active, user) + LANDSCAPE_SVG + "<main class=\"wrap\">" + content + "</main>"
    return page(title, body, css=css)


INDEX_CSS = """
body{overflow:hidden}
.stage{position:relative;z-index:1;height:100vh;min-height:560px;display:flex;align-items:center;justify-content:space-between;padding:0 70px 40px 80px}
.copy{max-width:560px}
.logo{font-size:66px;line-height:1.1;margin:0;letter-spacing:.22em;
 background:linear-gradient(#fff4cf,#e9c46a 45%,#9a6a24);-webkit-background-clip:text;background-clip:text;color:transparent;
 text-shadow:none;filter:drop-shadow(0 3px 0 #1a0f04) drop-shadow(0 0 22px rgba(233,196,106,.45))}
.tag{font-size:14px;letter-spacing:.55em;color:var(--gold);margin:6px 0 22px 4px}
.feats{list-style:none;margin:0 0 24px;padding:0;display:grid;grid-template-columns:1fr 1fr;gap:10px 18px}
.feats li{padding-left:22px;position:relative;color:#e6dcc4}
.feats li:before{content:"\\25C6";position:absolute;left:0;color:var(--ember);font-size:12px;top:2px}
.news{padding:14px 18px;max-width:520px}
.news h3{font-size:15px;margin:0 0 6px}
.news p{margin:3px 0;font-size:13px;color:#d9ceb4}
.news b{color:var(--ember);font-weight:400;margin-right:8px}
.login{width:360px;padding:26px 30px 22px}
.login h2{font-size:22px;text-align:center;margin-bottom:16px}
.login .btn{width:100%;margin-top:4px}
.login .hint{margin:14px 0 0;font-size:12px;color:var(--muted);text-align:center}
.welcome{text-align:center;margin:0 0 14px;font-size:13px}
.welcome a{margin-left:8px}
"""


def index_page(user=None, error=None, prefill=""):
    notice = ""
    if error:
        notice = "<div class=\"notice err\" id=\"error\">%s</div>" % esc(error)
    welcome = ""
    if user:
        welcome = ("<p class=\"welcome\">已登录：%s<a href=\"/wd3/xf.html\">进入选服</a>"
                   "<a href=\"/wd3/logout\">切换账号</a></p>" % esc(user))
    body = (
        LANDSCAPE_SVG +
        "<div class=\"stage\">"
        "<section class=\"copy\">"
        "<h1 class=\"logo\">沃恩马克</h1>"
        "<div class=\"tag\">VORNMARK · 群星陨落之境</div>"
        "<ul class=\"feats\"><li>八大职业 自由转职</li><li>万人同屏 攻城夺旗</li>"
        "<li>跨服竞技 天梯争霸</li><li>坐骑羽翼 百变外观</li></ul>"
        "<div class=\"news panel\"><h3>最新公告</h3>"
        "<p><b>[新服]</b>S8 沉睡海岸 今日 10:00 火爆开启</p>"
        "<p><b>[活动]</b>星陨祭典：登录即领限定坐骑「霜角驯鹿」</p>"
        "<p><b>[维护]</b>每周四 06:00–08:00 例行维护</p></div>"
        "</section>"
        "<section class=\"login panel\"><h2>账号登录</h2>" + notice + welcome +
        "<form id=\"loginForm\" method=\"post\" action=\"/wd3/login\" accept-charset=\"utf-8\">"
        "<label class=\"field\"><span>账号</span><input type=\"text\" id=\"username\" name=\"username\" "
        "maxlength=\"%d\" autocomplete=\"username\" placeholder=\"请输入账号\" value=\"%s\"></label>"
        "<label class=\"field\"><span>密码</span><input type=\"password\" id=\"password\" name=\"password\" "
        "autocomplete=\"current-password\" placeholder=\"请输入密码\"></label>"
        "<button type=\"submit\" id=\"login\" class=\"btn\">登 录</button>"
        "</form>"
        "<p class=\"hint\">本地门户：任意账号与非空密码均可登录</p>"
        "</section></div>"
        "<div class=\"health\">" + HEALTH_NOTICE + "</div>"
    ) % (MAX_NAME_CHARS, esc(prefill))
    return page("沃恩马克 - 账号登录", body, css=INDEX_CSS)


XF_CSS = """
body{overflow:hidden}
.wrap{padding-top:16px}
.account{display:flex;align-items:center;gap:14px;padding:12px 20px;margin-bottom:16px}
.account .who{font-size:15px}
#login_user{color:var(--gold2);font-weight:700;white-space:pre}
.account .spacer{margin-left:auto}
.rec{display:flex;align-items:center;gap:20px;padding:14px 20px;margin-bottom:16px}
.rec .label{color:var(--muted);font-size:13px}
.rec .name{font-size:22px;color:var(--gold2);font-weight:700;letter-spacing:.1em}
.rec .btn{margin-left:auto}
h2.list{font-size:16px;margin:4px 0 10px}
.grid{display:grid;grid-template-columns:repeat(4,1fr);gap:12px}
a.srv{display:flex;align-items:center;gap:10px;padding:12px 14px;border-radius:8px;text-decoration:none;color:var(--ink);
 background:linear-gradient(rgba(40,30,74,.9),rgba(20,15,40,.9));border:1px solid rgba(216,178,92,.3);transition:transform .12s,border-color .12s}
a.srv:hover{transform:translateY(-2px);border-color:var(--gold);box-shadow:0 0 16px rgba(216,178,92,.25)}
a.srv .sid{font-weight:700;color:var(--gold);min-width:30px}
a.srv .sname{flex:1}
.badge{font-size:12px;padding:1px 8px;border-radius:10px;border:1px solid}
.badge.hot{color:#ff9f7a;border-color:rgba(255,120,80,.6)}
.badge.ok{color:#8fe3c5;border-color:rgba(95,199,164,.6)}
.badge.busy{color:#f3dc9a;border-color:rgba(216,178,92,.6)}
.badge.new{color:#a9c8ff;border-color:rgba(120,160,255,.6)}
"""


def server_link(sid):
    # server_id last, so the client takes the whole id up to the end.
    return "/wd3/play?act=gamelogin&server_id=%d" % sid


def xf_page(user):
    rec_id, rec_name, _, _ = SERVERS[-1]
    cards = "".join(
        "<a class=\"srv\" id=\"server-%d\" href=\"%s\"><span class=\"sid\">S%d</span>"
        "<span class=\"sname\">%s</span><span class=\"badge %s\">%s</span></a>"
        % (sid, esc(server_link(sid)), sid, esc(name), cls, esc(state))
        for sid, name, state, cls in SERVERS)
    content = (
        "<section class=\"account panel\"><span class=\"who\">当前账号：<span id=\"login_user\">%s</span></span>"
        "<span class=\"muted\">欢迎回到群星陨落之境</span>"
        "<a class=\"btn ghost spacer\" href=\"/wd3/logout\">切换账号</a></section>"
        "<section class=\"rec panel\"><div><div class=\"label\">推荐服务器</div>"
        "<div class=\"name\">S%d %s</div></div><span class=\"badge new\">新服</span>"
        "<a class=\"btn\" id=\"enter\" href=\"%s\">进入游戏</a></section>"
        "<h2 class=\"list\">全部服务器</h2><div class=\"grid\">%s</div>"
    ) % (esc(user), rec_id, esc(rec_name), esc(server_link(rec_id)), cards)
    return portal_page("沃恩马克 - 选择服务器", "play", content, user=None, css=XF_CSS)


PLAY_CSS = """
html,body{height:100%;overflow:hidden;background:#05040c}
#game{display:block;position:fixed;left:0;top:0;width:100%;height:100%}
#info{position:fixed;right:14px;top:12px;background:rgba(8,6,18,.72);border:1px solid rgba(216,178,92,.5);border-radius:6px;
 padding:5px 12px;font-size:13px;color:#d9ceb4;pointer-events:none;z-index:2;text-align:right;min-width:170px}
#info b{color:#f3dc9a;white-space:pre}
#noflash{display:none;position:fixed;left:50%;top:50%;transform:translate(-50%,-50%);width:420px;padding:24px 28px;text-align:center}
#noflash h2{font-size:20px}
"""

# The page side of the game: the movie reports through ExternalInterface by
# calling onGameEvent(event); without a Flash player the page says so.
PLAY_JS = r"""
(function(){
"use strict";
var reports=window.__flashReports=[];
window.onGameEvent=function(e){
 if(!e||typeof e!=="object")return;
 reports.push(e);if(reports.length>100)reports.shift();
 document.getElementById("reported").textContent=String(e.player||"");
 document.getElementById("score").textContent=String(e.score|0);
 document.body.setAttribute("data-flash",String(e.event));
};
// The movie's chat line: shown here, posted to the portal, and the portal's line
// handed back to the movie's log.
window.onGameChat=function(text){
 text=String(text);
 document.getElementById("chat").textContent=text;
 var x=new XMLHttpRequest();
 x.open("POST","/wd3/chat");
 x.setRequestHeader("Content-Type","text/plain;charset=UTF-8");
 x.onload=function(){
  var line=null;
  try{line=JSON.parse(x.responseText).line;}catch(e){}
  var game=document.getElementById("game");
  if(typeof line==="string"&&game&&game.chatLine)game.chatLine(line);
 };
 x.send(text);
};
var p=navigator.plugins,m=navigator.mimeTypes;
var flash=!!((p&&p["Shockwave Flash"])||(m&&m["application/x-shockwave-flash"]));
if(!flash){document.getElementById("game").style.display="none";document.getElementById("noflash").style.display="block";
 document.body.setAttribute("data-flash","missing");}
})();
"""


def flash_vars(**values):
    """FlashVars: the movie URL-decodes each value."""
    return "&".join("%s=%s" % (k, quote(str(v), safe="")) for k, v in values.items() if v is not None)


def play_page(user, server_id, fps=None, game=None):
    shown_user = user if user else "未登录"
    game = game or {}
    movie_vars = flash_vars(player=user or "", server=server_id, fps=fps, gameHost=game.get("host"),
                            gamePort=game.get("game"), chatPort=game.get("chat"))
    body = (
        "<embed id=\"game\" name=\"game\" src=\"/wd3/game.swf\" type=\"application/x-shockwave-flash\" "
        "width=\"100%%\" height=\"100%%\" quality=\"high\" allowscriptaccess=\"always\" "
        "pluginspage=\"http://www.adobe.com/go/getflashplayer\" flashvars=\"%s\">"
        "<div id=\"info\">服务器 <b id=\"server\">%s</b> · 角色 <b id=\"player\">%s</b><br>"
        "游戏上报：<b id=\"reported\">—</b> · 得分 <b id=\"score\">—</b><br>"
        "聊天：<b id=\"chat\">—</b></div>"
        "<div id=\"noflash\" class=\"panel\"><h2>需要 Flash Player</h2>"
        "<p>本游戏需要 Adobe Flash Player 才能运行。请使用游戏客户端进入游戏。</p></div>"
    ) % (esc(movie_vars), esc(server_id), esc(shown_user))
    title = "沃恩马克 - S%s %s" % (server_id, shown_user)
    return page(title, body, css=PLAY_CSS, script=PLAY_JS)


HOME_CSS = """
.hero{display:flex;gap:28px;align-items:stretch}
.hero .intro{flex:1;padding:24px 28px}
.hero .intro h1{font-size:40px;letter-spacing:.2em}
.hero .intro p{color:#e0d6bd;max-width:520px}
.hero .side{width:330px;padding:20px 22px}
.hero .side li{margin:6px 0}
.hero .btn{margin-top:10px}
"""


def home_page():
    content = (
        "<div class=\"hero\"><section class=\"intro panel\"><h1>沃恩马克</h1>"
        "<p>群星陨落，古国沃恩的封印松动。召集你的伙伴，穿越龙脊山脉与暮光森林，"
        "在永夜王座前夺回失落的星辰之印。</p>"
        "<a class=\"btn\" id=\"start\" href=\"/wd3/index.html\">开始游戏</a></section>"
        "<aside class=\"side panel\"><h3>快速入口</h3><ul>"
        "<li><a href=\"/bbs/\">玩家论坛</a></li>"
        "<li><a href=\"/pay/?game_id=%d\">充值中心</a></li>"
        "<li><a href=\"/api/kefu/wd.php?game_id=%d\">客服中心</a></li>"
        "<li><a href=\"/my.php?act=fcm\">防沉迷实名认证</a></li></ul>"
        "<p class=\"muted\">游戏编号 %d</p></aside></div>"
    ) % (GAME_ID, GAME_ID, GAME_ID)
    return portal_page("沃恩马克 - 官方网站", "home", content, css=HOME_CSS)


FORUM_CSS = """
.boards{display:grid;grid-template-columns:repeat(3,1fr);gap:14px;margin-bottom:16px}
.board{padding:14px 18px}
.board h3{font-size:16px;margin:0 0 4px}
.board p{margin:0;font-size:13px;color:var(--muted)}
.threads{padding:8px 18px}
.threads table{width:100%;border-collapse:collapse}
.threads td{padding:7px 4px;border-bottom:1px solid rgba(216,178,92,.15)}
.threads td.n{color:var(--muted);text-align:right;width:120px;font-size:13px}
.tagx{color:var(--ember);margin-right:6px}
"""


def forum_page():
    boards = [("综合讨论", "冒险者的酒馆，天南海北聊个痛快"), ("职业攻略", "八大职业加点与配装心得"),
              ("公会招募", "寻找志同道合的战友")]
    threads = [("精华", "【攻略】永夜王座全BOSS机制图解", 1288), ("置顶", "星陨祭典活动规则与奖励一览", 932),
               ("讨论", "新服 S8 开服冲级路线分享", 415), ("求助", "霜角驯鹿在哪里兑换？", 87)]
    content = (
        "<h1>玩家论坛</h1><div class=\"boards\">" +
        "".join("<section class=\"board panel\"><h3>%s</h3><p>%s</p></section>" % (esc(a), esc(b)) for a, b in boards) +
        "</div><section class=\"threads panel\"><table>" +
        "".join("<tr><td><span class=\"tagx\">[%s]</span>%s</td><td class=\"n\">回复 %d</td></tr>" % (esc(t), esc(s), n)
                for t, s, n in threads) +
        "</table></section>")
    return portal_page("沃恩马克 - 玩家论坛", "forum", content, css=FORUM_CSS)


CARD_CSS = """
.card{max-width:640px;margin:10px auto 0;padding:24px 30px}
.packs{display:grid;grid-template-columns:repeat(4,1fr);gap:10px;margin:0 0 16px}
.packs label{display:block;text-align:center;padding:10px 4px;border-radius:8px;border:1px solid rgba(216,178,92,.35);cursor:pointer;background:rgba(5,4,14,.5)}
.packs input{display:none}
.packs input:checked+span{color:var(--gold2);font-weight:700}
.packs label:has(input:checked){border-color:var(--gold);box-shadow:0 0 12px rgba(216,178,92,.3)}
.faq p{margin:6px 0;color:#d9ceb4}
"""


def recharge_page(user_name, server_id, amount=None):
    packs = [10, 50, 100, 500]
    if amount is not None:
        notice = ("<div class=\"notice ok\" id=\"result\">订单已记录：%s 元宝 %d（本地门户不处理真实支付）</div>"
                  % (esc(user_name or "—"), amount * 10))
    else:
        notice = ""
    choices = "".join(
        "<label><input type=\"radio\" name=\"amount\" value=\"%d\"%s><span>%d 元<br>%d 元宝</span></label>"
        % (p, " checked" if p == 50 else "", p, p * 10) for p in packs)
    content = (
        "<section class=\"card panel\"><h1>充值中心</h1>" + notice +
        "<dl class=\"kv\"><dt>充值账号</dt><dd id=\"user_name\">%s</dd>"
        "<dt>服务器</dt><dd id=\"server_id\">%s</dd><dt>游戏编号</dt><dd id=\"game_id\">%d</dd></dl>"
        "<form method=\"get\" action=\"/pay/\"><input type=\"hidden\" name=\"game_id\" value=\"%d\">"
        "<input type=\"hidden\" name=\"user_name\" value=\"%s\"><input type=\"hidden\" name=\"server_id\" value=\"%s\">"
        "<div class=\"packs\">%s</div><button class=\"btn\" type=\"submit\">确认充值</button></form></section>"
    ) % (esc(user_name or "—"), esc(server_id or "—"), GAME_ID, GAME_ID, esc(user_name or ""),
         esc(server_id or ""), choices)
    return portal_page("沃恩马克 - 充值中心", "pay", content, css=CARD_CSS)


def kefu_page(user_name, game_id):
    content = (
        "<section class=\"card panel\"><h1>客服中心</h1>"
        "<dl class=\"kv\"><dt>玩家账号</dt><dd id=\"user_name\">%s</dd>"
        "<dt>游戏编号</dt><dd id=\"game_id\">%s</dd></dl>"
        "<div class=\"faq\"><h3>常见问题</h3>"
        "<p>· 充值未到账：请耐心等待 5 分钟，并确认所选服务器正确。</p>"
        "<p>· 账号被盗：请立即修改密码并提交申诉。</p>"
        "<p>· 客服在线时间：每日 09:00–23:00。</p></div></section>"
    ) % (esc(user_name or "—"), esc(game_id or "—"))
    return portal_page("沃恩马克 - 客服中心", "kefu", content, css=CARD_CSS)


def fcm_page(submitted=None):
    if submitted:
        notice = "<div class=\"notice ok\" id=\"result\">已提交：%s（本地门户不做核验）</div>" % esc(submitted)
    else:
        notice = "<div class=\"notice err\">尚未完成实名认证：未成年人游戏时间将受到限制。</div>"
    content = (
        "<section class=\"card panel\"><h1>防沉迷实名认证</h1>" + notice +
        "<form method=\"get\" action=\"/my.php\"><input type=\"hidden\" name=\"act\" value=\"fcm\">"
        "<label class=\"field\"><span>真实姓名</span><input type=\"text\" name=\"realname\" maxlength=\"20\"></label>"
        "<label class=\"field\"><span>身份证号</span><input type=\"text\" name=\"idno\" maxlength=\"18\"></label>"
        "<button class=\"btn\" type=\"submit\">提交认证</button></form></section>")
    return portal_page("沃恩马克 - 防沉迷实名认证", "fcm", content, css=CARD_CSS)


def not_found_page(path):
    content = ("<section class=\"card panel\" style=\"text-align:center\"><h1 style=\"font-size:56px\">404</h1>"
               "<p>迷失在星海之中……找不到页面 <code>%s</code></p>"
               "<p><a class=\"btn\" href=\"/wd3/index.html\">返回游戏首页</a></p></section>") % esc(path)
    return portal_page("沃恩马克 - 页面不存在", "", content, css=CARD_CSS)


def error_page(status, message):
    content = ("<section class=\"card panel\" style=\"text-align:center\"><h1>%d</h1><p>%s</p></section>"
               % (status, esc(message)))
    return portal_page("沃恩马克 - 请求错误", "", content, css=CARD_CSS)


# Pages for browser tests ----------------------------------------------------

TEST_CSS = """
.card{max-width:760px;margin:24px auto;padding:22px 28px}
.row{display:flex;gap:12px;flex-wrap:wrap;margin:12px 0}
iframe{width:100%;height:220px;border:1px solid var(--line);border-radius:8px;background:#fff}
"""


def test_page(title, content, script=""):
    body = LANDSCAPE_SVG + "<main class=\"wrap\"><section class=\"card panel\">" + content + "</section></main>"
    return page(title, body, css=CARD_CSS + TEST_CSS, script=script)


def popup_page():
    return test_page("弹窗测试", (
        "<h1>弹窗测试</h1><p>这些链接会请求新窗口。</p><div class=\"row\">"
        "<a class=\"btn\" id=\"blank\" href=\"/test/popup-target.html?via=link\" target=\"_blank\">新窗口链接</a>"
        "<button class=\"btn\" id=\"open\" type=\"button\" "
        "onclick=\"window.open('/test/popup-target.html?via=script','vm_popup','width=480,height=320')\">"
        "脚本打开窗口</button></div>"))


def popup_target_page(via):
    return test_page("弹窗目标页", "<h1>弹窗目标页</h1><p>来源：<b id=\"via\">%s</b></p>" % esc(via or "—"))


def frame_page(src):
    return test_page("内嵌框架测试", (
        "<h1>内嵌框架测试</h1><p>外层页面，内嵌：<code id=\"src\">%s</code></p>"
        "<iframe id=\"inner\" src=\"%s\"></iframe>") % (esc(src), esc(src)))


def inner_page():
    return page("内嵌页", "<div style=\"padding:16px;color:#222;background:#fff;height:100vh\">"
                "<h2 style=\"color:#6b4a1a;text-shadow:none\">内嵌页</h2><p id=\"inner-text\">我在框架里面。</p></div>",
                css="body{background:#fff}")


def title_page(first, then, delay_ms):
    script = ("addEventListener('load',function(){setTimeout(function(){document.title=%s;"
              "document.getElementById('now').textContent=document.title;},%d);});"
              % (js_literal(then), delay_ms))
    return page(first, LANDSCAPE_SVG + "<main class=\"wrap\"><section class=\"card panel\"><h1>标题测试</h1>"
                "<p>当前标题：<b id=\"now\">%s</b></p><p class=\"muted\">载入 %d 毫秒后标题改为 %s</p></section></main>"
                % (esc(first), delay_ms, esc(then)), css=CARD_CSS + TEST_CSS, script=script)


def form_page(value, submitted):
    echo = ""
    if submitted is not None:
        echo = "<div class=\"notice ok\">已提交：<output id=\"echo\">%s</output></div>" % esc(submitted)
    return test_page("表单测试", (
        "<h1>表单测试</h1>" + echo +
        "<form method=\"post\" action=\"/test/form.html\" accept-charset=\"utf-8\">"
        "<label class=\"field\"><span>文本</span><input type=\"text\" id=\"text\" name=\"text\" value=\"%s\"></label>"
        "<button class=\"btn\" id=\"submit\" type=\"submit\">提交</button></form>") % esc(value))


HOSTILE_SCRIPT = r"""
var q = new URLSearchParams(location.search);
function mark(what) { new Image().src = '/test/mark?what=' + encodeURIComponent(what); }
// A popup address of exactly n characters (or the shortest one when n is 0).
function target(n, via) {
  var u = location.origin + '/test/popup-target.html?via=' + via + '&pad=';
  return u.length < n ? u + 'A'.repeat(n - u.length) : u;
}
var longName = 'N'.repeat(65536);
var lengths = (q.get('lengths') || '').split(',').filter(Boolean).map(Number);
var clicks = 0;
document.getElementById('go').addEventListener('click', function () {
  // The first click: two popups at once; each later one: the next length.
  var n = clicks ? lengths[clicks - 1] : 0;
  clicks++;
  if (n) {
    window.open(target(n, 'len' + n), longName);
  } else {
    window.open(target(0, 'click'));
    window.open(target(0, 'click-again'));
  }
  this.textContent = '\u5df2\u70b9\u51fb ' + clicks;
  mark('click' + clicks);
});
addEventListener('load', function () {
  setTimeout(function () {
    if (q.get('long')) {
      document.title = 'T'.repeat(65536);
      var f = document.createElement('iframe');
      f.name = 'F'.repeat(65536);
      f.src = target(65536, 'frame');
      document.body.appendChild(f);
    }
    // An advertisement's flood goes to a site of its own; the game's own pages
    // opened from the script (as after a server's reply) stay on the game's host.
    var own = Math.min(+q.get('own') || 0, 1000);
    for (var i = 0; i < own; i++) window.open(target(0, 'own' + i));
    var flood = Math.min(+q.get('flood') || 0, 1000);
    var foreign = 'http://127.0.0.5:' + location.port + '/test/popup-target.html?via=flood';
    for (var i = 0; i < flood; i++) window.open(foreign + i);
    mark('ready');
    if (q.get('alerts')) for (;;) alert('\u53c8\u4e00\u4e2a\u5bf9\u8bdd\u6846');
  }, 300);
});
"""


def hostile_page():
    # What an advertisement inside the game page could do: popups without a
    # click, popups with addresses and names of any length, a title of 64 K,
    # script dialogs without end. The query picks: flood=N (to a foreign site),
    # own=N (the game's own pages, no click either), lengths=a,b,...,
    # long=1, alerts=1; the page button covers the whole page.
    body = ("<button id=\"go\" type=\"button\" style=\"position:fixed;left:0;top:0;width:100%;height:100%;"
            "font-size:40px;border:0;background:#2a2140;color:#f3e6c4\">\u70b9\u51fb\u8fd9\u91cc</button>")
    return page("\u6076\u610f\u9875\u9762\u6d4b\u8bd5", body, script=HOSTILE_SCRIPT)


# A frame from another site inside the game page, as an advertisement would be:
# everything it tries on the player's page and the player's login is reported to
# its own site as a mark "ad|<its origin>|<what>|blocked" or "...|read:<text>".
AD_SCRIPT = r"""
var game = new URLSearchParams(location.search).get('game') || '';
function mark(what, result) {
  fetch('/test/mark?what=' + encodeURIComponent('ad|' + location.origin + '|' + what + '|' + result));
}
function probe(what, get) {
  var p;
  try { p = Promise.resolve(get()); } catch (e) { p = Promise.reject(e); }
  return p.then(function (v) { mark(what, 'read:' + String(v).slice(0, 60)); },
                function () { mark(what, 'blocked'); });
}
function text(r) { return r.text(); }
Promise.all([
  probe('title', function () { return top.document.title; }),
  probe('cookie', function () { return top.document.cookie; }),
  probe('login_user', function () { return top.document.getElementById('login_user').textContent; }),
  probe('eval', function () { return top.eval('document.title'); }),
  probe('top-fetch', function () { return top.fetch('/wd3/xf.html').then(text); }),
  probe('fetch', function () { return fetch(game + '/wd3/xf.html', {credentials: 'include'}).then(text); }),
  probe('xhr', function () {
    return new Promise(function (ok, fail) {
      var x = new XMLHttpRequest();
      x.open('GET', game + '/wd3/xf.html');
      x.withCredentials = true;
      x.onload = function () { ok(x.responseText); };
      x.onerror = fail;
      x.send();
    });
  })
]).then(function () { mark('done', 'done'); });
"""

# The game page's own reads across the build's hosts and of a Flash movie from
# another site: marks "own|<target>|<how>|ok:<text>" or "...|failed".
OWN_SCRIPT = r"""
var q = new URLSearchParams(location.search);
function mark(what) { fetch('/test/mark?what=' + encodeURIComponent(what)); }
function report(name, p) {
  return p.then(function (t) { mark('own|' + name + '|ok:' + String(t).slice(0, 40)); },
                function () { mark('own|' + name + '|failed'); });
}
function text(r) { if (!r.ok) throw new Error(r.status); return r.text(); }
function bytes(r) { if (!r.ok) throw new Error(r.status); return r.arrayBuffer().then(function (b) { return b.byteLength; }); }
var all = [];
q.getAll('own').forEach(function (o) {
  all.push(report(o + '|fetch', fetch(o + '/test/echo', {credentials: 'include'}).then(text)));
  all.push(report(o + '|xhr', new Promise(function (ok, fail) {
    var x = new XMLHttpRequest();
    x.open('GET', o + '/test/echo');
    x.withCredentials = true;
    x.onload = function () { ok(x.responseText); };
    x.onerror = fail;
    x.send();
  })));
});
q.getAll('movie').forEach(function (m) { all.push(report(m + '|movie', fetch(m, {credentials: 'include'}).then(bytes))); });
q.getAll('data').forEach(function (m) { all.push(report(m + '|data', fetch(m, {credentials: 'include'}).then(text))); });
Promise.all(all).then(function () { mark('own|done'); });
"""


def ads_page(ads):
    frames = "".join("<iframe class=\"ad\" src=\"%s\"></iframe>" % esc(a) for a in ads)
    return page("\u6e38\u620f\u9875\u9762", "<p>\u73a9\u5bb6 <span id=\"login_user\">hero</span></p>" + frames,
                script=OWN_SCRIPT)


def ad_page():
    return page("\u5e7f\u544a", "<p>\u5e7f\u544a</p>", script=AD_SCRIPT)


FLASH_TEST_JS = r"""
window.__flashReports=[];
window.onGameEvent=function(e){window.__flashReports.push(e);};
"""


def flash_csp_page(nonce):
    # A page whose policy allows its own nonce'd script and nothing else: the
    # Flash-era <object> must still play.
    return ("<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\"><title>严格安全策略</title>"
            "<style>html,body{margin:0;height:100%%;background:#05040c}object{display:block;width:100%%;height:100%%}</style>"
            "<script nonce=\"%s\">%s</script></head><body>"
            "<object id=\"game\" type=\"application/x-shockwave-flash\" data=\"/wd3/game.swf\" width=\"100%%\" height=\"100%%\">"
            "<param name=\"movie\" value=\"/wd3/game.swf\"><param name=\"allowScriptAccess\" value=\"always\">"
            "<param name=\"flashvars\" value=\"player=csp&amp;server=0\"><p id=\"fallback\">需要 Flash Player</p></object>"
            "</body></html>\n") % (nonce, FLASH_TEST_JS)


def flash_ref_page():
    # The movie's element made by script and kept: later calls go through that reference.
    script = FLASH_TEST_JS + r"""
var movie=document.createElement("embed");
movie.setAttribute("src","/wd3/game.swf");movie.setAttribute("type","application/x-shockwave-flash");
movie.setAttribute("width","800");movie.setAttribute("height","500");
movie.setAttribute("allowscriptaccess","always");movie.setAttribute("flashvars","player=ref&server=0");
document.getElementById("holder").appendChild(movie);
window.__kept=movie;
// Until the movie is up its callbacks are missing; the latest call's outcome counts.
setInterval(function(){try{window.__refState=movie.getState();window.__refLast="ok";}catch(e){window.__refLast=String(e);}},200);
"""
    return page("保留引用", "<div id=\"holder\"></div>", css="html,body{background:#05040c}", script=script)


def user_probe_page(name):
    # The client reads the user name on any address containing "xf.html";
    # without ?name= the page has no "login_user" element at all.
    element = ""
    if name is not None:
        element = "<p>账号：<span id=\"login_user\" style=\"white-space:pre\">%s</span></p>" % esc(name)
    return test_page("账号元素测试", "<h1>账号元素测试</h1>" + element)


# ---------------------------------------------------------------------------
# Request handling

class BadRequest(Exception):
    def __init__(self, status, reason):
        super().__init__(reason)
        self.status = status
        self.reason = reason


class PortalState:
    def __init__(self, log, stats_delay, stats_hang, quiet, start_page=None, assets=None):
        self.log = log
        self.start_page = start_page
        self.stats_delay = stats_delay
        self.stats_hang = stats_hang
        self.quiet = quiet
        self.assets = assets
        self.crossdomain = []   # hosts the foreign test site's crossdomain.xml admits
        self.stopping = threading.Event()
        self.game = None  # the game server's host and ports, once it runs

    def movie(self):
        """The game movie's bytes, read afresh (a rebuild replaces it); None when not built."""
        if not self.assets:
            return None
        try:
            with open(os.path.join(self.assets, "game.swf"), "rb") as f:
                return f.read()
        except OSError:
            return None


class PortalServer(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False

    def __init__(self, address, role, state):
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self.role = role
        self.state = state
        super().__init__(address, PortalHandler)

    def server_bind(self):
        # HTTPServer.server_bind would look up the host's FQDN, which can stall.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address):
        if isinstance(sys.exc_info()[1], (ConnectionError, socket.timeout)):
            return   # the client went away; nothing to report
        sys.stderr.write("portal: error while serving %s\n%s" % (client_address, traceback.format_exc()))


class PortalHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VornmarkPortal/1.0"
    sys_version = ""
    timeout = 60   # idle keep-alive connections and stalled bodies

    def version_string(self):
        return self.server_version

    # -- plumbing ----------------------------------------------------------

    def log_message(self, fmt, *args):
        if not self.server.state.quiet:
            sys.stderr.write("portal[%s] %s %s\n" % (self.server.role, self.address_string(), fmt % args))

    def log_request(self, code="-", size="-"):
        if hasattr(code, "value"):
            code = code.value
        self.log_message('"%s" %s', self.requestline, code)

    def _send(self, status, body, ctype="text/html; charset=utf-8", headers=(), close=False):
        data = body.encode("utf-8") if isinstance(body, str) else body
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        for name, value in headers:
            self.send_header(name, value)
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        self.wfile.flush()

    def _redirect(self, location, headers=()):
        self._send(303, "<a href=\"%s\">%s</a>" % (esc(location), esc(location)),
                   headers=[("Location", location)] + list(headers))

    def _refuse(self, status, reason):
        """Answer an unacceptable request and drop the connection.

        The body is not read; what the client is still sending is discarded
        for a short while so that it sees the answer instead of a reset.
        """
        self._send(status, error_page(status, reason), close=True)
        sock = self.connection
        try:
            sock.shutdown(socket.SHUT_WR)
            deadline = time.monotonic() + 2.0
            discarded = 0
            while discarded < 8 * MAX_BODY and time.monotonic() < deadline:
                sock.settimeout(max(0.05, deadline - time.monotonic()))
                chunk = sock.recv(65536)
                if not chunk:
                    break
                discarded += len(chunk)
        except OSError:
            pass

    def _content_length(self):
        if self.headers.get("Transfer-Encoding"):
            raise BadRequest(411, "需要 Content-Length")
        values = self.headers.get_all("Content-Length") or []
        if not values:
            return 0
        lengths = set()
        for value in values:
            for part in value.split(","):
                part = part.strip()
                if not re.fullmatch(r"[0-9]{1,18}", part):
                    raise BadRequest(400, "Content-Length 无效")
                lengths.add(int(part))
        if len(lengths) != 1:
            raise BadRequest(400, "Content-Length 不一致")
        length = lengths.pop()
        if length > MAX_BODY:
            raise BadRequest(413, "请求体过大")
        return length

    def _read_body(self):
        """Body bytes, or None when the client went away before sending it all."""
        length = self._content_length()
        data = b""
        try:
            while len(data) < length:
                chunk = self.rfile.read(length - len(data))
                if not chunk:
                    break
                data += chunk
        except (socket.timeout, OSError):
            pass
        if len(data) < length:
            self.close_connection = True
            self.log_message("body cut short: %d of %d bytes", len(data), length)
            return None
        return data

    def handle_expect_100(self):
        try:
            self._content_length()
        except BadRequest as e:
            self._refuse(e.status, e.reason)
            return False
        return super().handle_expect_100()

    def _split(self):
        parts = urlsplit(self.path)
        return parts.path, parts.query

    def _query(self, raw):
        try:
            return parse_qs(raw, keep_blank_values=True, max_num_fields=MAX_FORM_FIELDS)
        except ValueError:
            raise BadRequest(400, "查询参数过多")

    @staticmethod
    def _first(params, key, default=None):
        values = params.get(key)
        return values[0] if values else default

    def _cookie_user(self):
        for header in self.headers.get_all("Cookie") or []:
            for pair in header.split(";"):
                name, sep, value = pair.strip().partition("=")
                if sep and name == COOKIE_NAME:
                    try:
                        user = unquote(value.strip().strip('"'), errors="strict")
                    except UnicodeDecodeError:
                        return None
                    return user if valid_name(user) else None
        return None

    def _header_summary(self, names):
        return {name: self.headers.get(name) for name in names}

    # -- dispatch ----------------------------------------------------------

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        self._dispatch(self.GET_ROUTES)

    def do_POST(self):
        self._dispatch(self.POST_ROUTES)

    def _dispatch(self, routes):
        path, query = self._split()
        try:
            handler = routes.get(path)
            if handler is None:
                if self.command == "POST":
                    # Not read: the connection is dropped after the answer.
                    self._refuse(404, "页面不存在")
                else:
                    self._send(404, not_found_page(path))
                return
            handler(self, path, query)
        except BadRequest as e:
            if path == "/" and self.command == "POST":
                rec = {"kind": "rejected", "status": e.status, "reason": e.reason, "path": self.path,
                       "role": self.server.role,
                       "headers": self._header_summary(("User-Agent", "Content-Type", "Content-Length",
                                                        "Transfer-Encoding"))}
                rec.update(now_fields())
                self.server.state.log.write(rec)
            self._refuse(e.status, e.reason)

    # -- routes: the portal's own pages -----------------------------------

    def get_root(self, path, query):
        params = self._query(query)
        role = self.server.role
        if role == "pay" or (role == "main" and "game_id" in params):
            self._recharge(query)
        elif role == "forum":
            self._send(200, forum_page())
        else:
            self._send(200, home_page())

    def get_home(self, path, query):
        self._send(200, home_page())

    def get_forum(self, path, query):
        self._send(200, forum_page())

    def get_pay(self, path, query):
        self._recharge(query)

    def _recharge(self, query):
        # The client's recharge address: ...?game_id=1530&user_name=NAME[&server_id=ID]
        user = tolerant_param(query, "user_name", ("server_id", "amount"))
        user = unquote(user) if user is not None else None
        params = self._query(query)
        server_id = self._first(params, "server_id")
        amount = self._first(params, "amount")
        amount = int(amount) if amount and amount.isdigit() and 0 < int(amount) <= 100000 else None
        self._send(200, recharge_page(user, server_id, amount))

    def get_kefu(self, path, query):
        # The client's address: ...wd.php?user_name=NAME&game_id=1530
        user = tolerant_param(query, "user_name", ("game_id",))
        user = unquote(user) if user is not None else None
        game_id = self._first(self._query(query), "game_id")
        self._send(200, kefu_page(user, game_id))

    def get_my(self, path, query):
        params = self._query(query)
        if self._first(params, "act") != "fcm":
            self._send(404, not_found_page(self.path))
            return
        realname = self._first(params, "realname")
        self._send(200, fcm_page(realname if realname else None))

    def get_wd3_root(self, path, query):
        self._redirect("/wd3/index.html" + ("?" + query if query else ""))

    def get_index(self, path, query):
        rec = {"kind": "start", "path": path, "query": query, "params": self._query(query),
               "role": self.server.role,
               "headers": self._header_summary(("User-Agent", "Accept-Language", "Host"))}
        rec.update(now_fields())
        self.server.state.log.write(rec)
        if self.server.state.start_page:
            self._redirect(self.server.state.start_page)
            return
        self._send(200, index_page(user=self._cookie_user()))

    def login(self, path, query):
        if self.command == "POST":
            body = self._read_body()
            if body is None:
                return
            try:
                text = body.decode("utf-8")
            except UnicodeDecodeError:
                raise BadRequest(400, "表单编码错误")
        else:
            text = query
        try:
            form = parse_qs(text, keep_blank_values=True, max_num_fields=MAX_FORM_FIELDS,
                            encoding="utf-8", errors="strict")
        except (ValueError, UnicodeDecodeError):
            raise BadRequest(400, "表单格式错误")
        name = (self._first(form, "username") or "").strip()
        password = self._first(form, "password") or ""
        error = None
        if not name:
            error = "请输入账号"
        elif not valid_name(name):
            error = "账号不能超过 %d 个字符，且不能包含控制字符" % MAX_NAME_CHARS
        elif not password:
            error = "请输入密码"
        if error:
            self._send(200, index_page(error=error, prefill=name if valid_name(name) else ""))
            return
        rec = {"kind": "login", "user": name, "role": self.server.role}
        rec.update(now_fields())
        self.server.state.log.write(rec)
        cookie = "%s=%s; Path=/; HttpOnly; SameSite=Lax" % (COOKIE_NAME, quote(name, safe=""))
        self._redirect("/wd3/xf.html", headers=[("Set-Cookie", cookie)])

    def logout(self, path, query):
        self._redirect("/wd3/index.html",
                       headers=[("Set-Cookie", "%s=; Path=/; Max-Age=0; SameSite=Lax" % COOKIE_NAME)])

    def get_xf(self, path, query):
        user = self._cookie_user()
        if not user:
            self._redirect("/wd3/index.html")
            return
        self._send(200, xf_page(user))

    def get_play(self, path, query):
        params = self._query(query)
        server_id = self._first(params, "server_id", "")
        fps = self._first(params, "fps")
        fps = int(fps) if fps and fps.isdigit() and 1 <= int(fps) <= 120 else None
        self._send(200, play_page(self._cookie_user(), server_id, fps, self.server.state.game))

    def post_chat(self, path, query):
        """A chat line from the game (the page posts what the movie sends): logged,
        and answered with the line as the game's log shows it."""
        body = self._read_body()
        if body is None:
            return
        try:
            text = body.decode("utf-8")
        except UnicodeDecodeError:
            raise BadRequest(400, "聊天内容编码错误")
        text = text.strip()
        if not text or len(text) > MAX_CHAT_CHARS or any(ord(c) < 32 or 0x7F <= ord(c) < 0xA0 for c in text):
            raise BadRequest(400, "聊天内容无效")
        user = self._cookie_user() or "游客"
        rec = {"kind": "chat", "user": user, "text": text, "role": self.server.role}
        rec.update(now_fields())
        self.server.state.log.write(rec)
        self._send(200, json.dumps({"line": "%s：%s" % (user, text)}, ensure_ascii=False),
                   ctype="application/json; charset=utf-8")

    def get_movie(self, path, query):
        data = self.server.state.movie()
        if data is None:
            self._send(404, not_found_page(path))
        else:
            self._send(200, data, ctype="application/x-shockwave-flash")

    def get_health(self, path, query):
        self._send(200, "ok", ctype="text/plain; charset=utf-8")

    def get_favicon(self, path, query):
        self._send(204, b"", ctype="image/x-icon")

    # -- routes: pages for browser tests ------------------------------------

    def get_test_popup(self, path, query):
        self._send(200, popup_page())

    def get_test_popup_target(self, path, query):
        via = self._first(self._query(query), "via")
        self._log_test("popup-target", via=via, length=len(self.path))
        self._send(200, popup_target_page(via))

    def get_test_hostile(self, path, query):
        self._send(200, hostile_page())

    def get_test_mark(self, path, query):
        self._log_test("mark", what=self._first(self._query(query), "what", ""))
        self._send(204, b"", ctype="text/plain")

    def _log_test(self, kind, **fields):
        rec = {"kind": kind}
        rec.update(fields)
        rec.update(now_fields())
        self.server.state.log.write(rec)

    @staticmethod
    def _loopback_http(url):
        parts = urlsplit(url)
        try:
            return parts.scheme in ("http", "https") and ipaddress.ip_address(parts.hostname or "").is_loopback
        except ValueError:
            return False

    def get_test_ads(self, path, query):
        # The game page with the player logged in (the login's own cookie) and
        # frames of other sites (loopback addresses only).
        ads = [a for a in self._query(query).get("ad", []) if self._loopback_http(a)]
        cookie = "%s=%s; Path=/; HttpOnly; SameSite=Lax" % (COOKIE_NAME, quote("hero", safe=""))
        self._send(200, ads_page(ads), headers=[("Set-Cookie", cookie)])

    def get_test_ad(self, path, query):
        self._send(200, ad_page())

    def get_test_echo(self, path, query):
        self._send(200, "echo:%s:%s" % (self.server.role, self._cookie_user() or "-"), ctype="text/plain; charset=utf-8")

    def get_crossdomain(self, path, query):
        # The Flash policy file of the foreign test site, admitting the hosts named
        # by --crossdomain-allow; the other sites have none.
        allowed = self.server.state.crossdomain if self.server.role == "foreign" else None
        if not allowed:
            self._send(404, not_found_page(path))
            return
        body = ("<?xml version=\"1.0\"?><cross-domain-policy>" +
                "".join("<allow-access-from domain=\"%s\"/>" % esc(h) for h in allowed) + "</cross-domain-policy>")
        self._send(200, body, ctype="text/x-cross-domain-policy")

    def get_test_go(self, path, query):
        to = self._first(self._query(query), "to", "")
        if not self._loopback_http(to):
            self._send(404, not_found_page(path))
            return
        self._redirect(to)

    def get_test_frame(self, path, query):
        src = self._first(self._query(query), "src", "/test/inner.html")
        # Same-origin paths only; anything else falls back to the default.
        if not src.startswith("/") or src.startswith("//") or "\\" in src:
            src = "/test/inner.html"
        self._send(200, frame_page(src))

    def get_test_inner(self, path, query):
        self._send(200, inner_page())

    def get_test_title(self, path, query):
        params = self._query(query)
        first = self._first(params, "from", "标题测试")
        then = self._first(params, "to", "标题已更新")
        delay = self._first(params, "delay", "300")
        delay_ms = min(int(delay), 60000) if delay.isdigit() else 300
        self._send(200, title_page(first, then, delay_ms))

    def test_form(self, path, query):
        params = self._query(query)
        submitted = None
        if self.command == "POST":
            body = self._read_body()
            if body is None:
                return
            try:
                form = parse_qs(body.decode("utf-8"), keep_blank_values=True,
                                max_num_fields=MAX_FORM_FIELDS, errors="strict")
            except (ValueError, UnicodeDecodeError):
                raise BadRequest(400, "表单格式错误")
            submitted = self._first(form, "text", "")
        value = submitted if submitted is not None else self._first(params, "value", "")
        self._send(200, form_page(value, submitted))

    def get_test_user(self, path, query):
        self._send(200, user_probe_page(self._first(self._query(query), "name")))

    def get_test_flash_csp(self, path, query):
        nonce = os.urandom(12).hex()
        csp = ("default-src 'none'; script-src 'nonce-%s'; style-src 'unsafe-inline'; img-src 'self' data:; "
               "object-src 'self'; media-src 'self'; connect-src 'self'; frame-ancestors 'none'" % nonce)
        self._send(200, flash_csp_page(nonce), headers=[("Content-Security-Policy", csp)])

    def get_test_flash_ref(self, path, query):
        # ?delay=ms holds the page back: a frame showing it keeps its first, empty
        # document that long, for the parent's scripts to reach into.
        delay = self._first(self._query(query), "delay", "0")
        if delay.isdigit():
            time.sleep(min(int(delay), 10000) / 1000)
        self._send(200, flash_ref_page())

    def get_test_flash_net(self, path, query):
        # The game page with its movie pointed at another game server (?host=, ?game=,
        # ?chat=): hosts the client has to learn, servers that refuse, die or flood.
        params = self._query(query)
        game = dict(self.server.state.game or {})
        for key in ("host", "game", "chat"):
            value = self._first(params, key)
            if value:
                game[key] = value
        self._send(200, play_page("tester", "9", None, game))

    # -- statistics ----------------------------------------------------------

    def post_report(self, path, query):
        state = self.server.state
        body = self._read_body()
        if body is None:
            return
        text, encoding = decode_body(body)
        rec = {"kind": "report", "method": self.command, "path": self.path, "role": self.server.role,
               "client": "%s:%s" % self.client_address[:2],
               "headers": self._header_summary(("User-Agent", "Content-Type", "Accept")),
               "header_list": [[k, v] for k, v in self.headers.items()],
               "content_length": len(body), "body": text, "body_encoding": encoding, "body_hex": body.hex()}
        try:
            rec["form"] = parse_qs(text, keep_blank_values=True, max_num_fields=MAX_FORM_FIELDS,
                                   encoding=encoding, errors="replace")
        except ValueError as e:
            rec["form"] = None
            rec["form_error"] = str(e)
        # The close report ends with the user name, inserted unescaped.
        user = tolerant_param(text, "user_name")
        if user is not None:
            rec["user_name"] = user
        rec.update(now_fields())
        state.log.write(rec)
        if state.stats_hang:
            # Keep the connection open without an answer until shutdown.
            self.close_connection = True
            state.stopping.wait()
            return
        if state.stats_delay > 0 and state.stopping.wait(state.stats_delay):
            self.close_connection = True
            return
        self._send(200, "ok", ctype="text/plain; charset=utf-8")

    GET_ROUTES = {
        "/": get_root,
        "/game/": get_home,
        "/bbs/": get_forum,
        "/pay/": get_pay,
        "/api/kefu/wd.php": get_kefu,
        "/my.php": get_my,
        "/wd3": get_wd3_root,
        "/wd3/": get_wd3_root,
        "/wd3/index.html": get_index,
        "/wd3/login": login,
        "/wd3/logout": logout,
        "/wd3/xf.html": get_xf,
        "/wd3/play": get_play,
        "/wd3/game.swf": get_movie,
        "/healthz": get_health,
        "/favicon.ico": get_favicon,
        "/test/popup.html": get_test_popup,
        "/test/popup-target.html": get_test_popup_target,
        "/test/hostile.html": get_test_hostile,
        "/test/mark": get_test_mark,
        "/test/frame.html": get_test_frame,
        "/test/ads.html": get_test_ads,
        "/test/ad.html": get_test_ad,
        "/test/echo": get_test_echo,
        "/test/go": get_test_go,
        "/crossdomain.xml": get_crossdomain,
        "/test/inner.html": get_test_inner,
        "/test/title.html": get_test_title,
        "/test/form.html": test_form,
        "/test/xf.html": get_test_user,
        "/test/XF.HTML": get_test_user,
        "/test/flash-csp.html": get_test_flash_csp,
        "/test/flash-ref.html": get_test_flash_ref,
        "/test/flash-net.html": get_test_flash_net,
    }
    POST_ROUTES = {
        "/": post_report,
        "/wd3/login": login,
        "/wd3/chat": post_chat,
        "/test/form.html": test_form,
    }


# ---------------------------------------------------------------------------
# Start-up

def loopback(value, option):
    try:
        addr = ipaddress.ip_address(value)
    except ValueError:
        raise SystemExit("portal: %s %r is not an IP address" % (option, value))
    if not addr.is_loopback:
        raise SystemExit("portal: %s %s is not a loopback address; the portal serves this machine only"
                         % (option, value))
    return str(addr)


def open_listeners(addresses, port, state):
    """One server per (role, address), all on the same port.

    With port 0 the first bind picks a free port and the others follow it;
    if one of them finds it taken, start over with a new one.
    """
    attempts = 20 if port == 0 else 1
    last_error = None
    for _ in range(attempts):
        servers = []
        try:
            chosen = port
            for role, address in addresses:
                server = PortalServer((address, chosen), role, state)
                servers.append(server)
                chosen = server.server_address[1]
            return servers, chosen
        except OSError as e:
            last_error = e
            for server in servers:
                server.server_close()
    raise SystemExit("portal: cannot listen on port %d at %s: %s"
                     % (port, ", ".join(a for _, a in addresses), last_error))


def default_assets():
    build = os.environ.get("VORNMARK_BUILD") or os.path.join(os.path.dirname(os.path.dirname(
        os.path.abspath(__file__))), "build")
    return os.path.join(build, "portal")


def parse_args(argv):
    env_delay = os.environ.get("VORNMARK_PORTAL_STATS_DELAY", "0")
    env_hang = os.environ.get("VORNMARK_PORTAL_STATS_HANG", "") not in ("", "0")
    p = argparse.ArgumentParser(description="Local Vornmark portal and statistics server.")
    p.add_argument("--port", type=int, default=DEFAULT_PORT, help="port on every address; 0 picks a free one")
    p.add_argument("--log", required=True, help="JSON-lines event log (appended)")
    p.add_argument("--host", default="127.0.0.1", help="main address: game page, portal site, statistics")
    p.add_argument("--forum-address", default="127.0.0.2", help="address whose root is the forum ('none' to skip)")
    p.add_argument("--pay-address", default="127.0.0.3", help="address whose root is the recharge page ('none' to skip)")
    p.add_argument("--foreign-address", default="none",
                   help="address of a site that is none of the game's, for tests ('none' to skip)")
    p.add_argument("--foreign-port", type=int, default=0,
                   help="a second port on the main address, another foreign site for tests (0 to skip)")
    p.add_argument("--crossdomain-allow", action="append", default=[],
                   help="a host the foreign site's crossdomain.xml admits (repeatable)")
    p.add_argument("--port-file", help="also write the port number into this file")
    p.add_argument("--stats-delay", type=float, default=None,
                   help="seconds to wait before answering a report (env VORNMARK_PORTAL_STATS_DELAY)")
    p.add_argument("--stats-hang", action="store_true", default=env_hang,
                   help="accept reports but never answer (env VORNMARK_PORTAL_STATS_HANG=1)")
    p.add_argument("--quiet", action="store_true", help="nothing on stderr but errors")
    p.add_argument("--game-port", type=int, default=0,
                   help="the game server's port (its chat port is the next one); 0: after the portal's; -1: none")
    p.add_argument("--policy-port", type=int, default=843, help="the game server's master socket-policy port")
    p.add_argument("--start-page", help="after logging it, the game page sends the client here "
                                        "(a path of this portal, for tests)")
    p.add_argument("--assets", default=default_assets(),
                   help="folder with the built game movie game.swf (default: the build folder's portal/)")
    args = p.parse_args(argv)
    if args.stats_delay is None:
        try:
            args.stats_delay = float(env_delay)
        except ValueError:
            p.error("VORNMARK_PORTAL_STATS_DELAY must be a number of seconds")
    if not (0 <= args.stats_delay <= 3600):
        p.error("--stats-delay must be between 0 and 3600 seconds")
    if not (0 <= args.port <= 65535):
        p.error("--port must be between 0 and 65535")
    if args.start_page is not None and (not args.start_page.startswith("/") or args.start_page.startswith("//")):
        p.error("--start-page must be a path of this portal")
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    addresses = [("main", loopback(args.host, "--host"))]
    for role, value, option in (("forum", args.forum_address, "--forum-address"),
                                ("pay", args.pay_address, "--pay-address"),
                                ("foreign", args.foreign_address, "--foreign-address")):
        if value.lower() != "none":
            addresses.append((role, loopback(value, option)))
    if len({a for _, a in addresses}) != len(addresses):
        raise SystemExit("portal: the main, forum and pay addresses must differ")

    log = EventLog(args.log)
    state = PortalState(log, args.stats_delay, args.stats_hang, args.quiet, args.start_page, args.assets)
    state.crossdomain = args.crossdomain_allow
    servers, port = open_listeners(addresses, args.port, state)
    if args.foreign_port:
        servers.append(open_listeners([("other-port", addresses[0][1])], args.foreign_port, state)[0][0])
    # The game server sits on the ports after the portal's (any free ones when the
    # portal's port was picked freely); its policies on 843 when that may be bound.
    game_server = None
    if args.game_port >= 0:
        wanted = args.game_port if args.game_port else (port + 1 if args.port else 0)
        game_server = GameServer(log, addresses[0][1], wanted, wanted + 1 if wanted else 0, args.policy_port)
        ports = game_server.start()
        state.game = {"host": addresses[0][1], "game": ports["game"], "chat": ports["chat"]}

    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, args.port_file)
    sys.stdout.write("PORT %d\n" % port)
    if state.game:
        sys.stdout.write("GAME %d %d\n" % (state.game["game"], state.game["chat"]))
    sys.stdout.flush()
    if not args.quiet:
        sys.stderr.write("portal: serving %s on port %d, log %s%s\n" % (
            ", ".join("%s=%s" % ra for ra in addresses), port, args.log,
            " (reports hang)" if args.stats_hang else
            (" (reports answered after %gs)" % args.stats_delay if args.stats_delay else "")))
    sys.stderr.flush()

    failed = []

    def serve(server):
        try:
            server.serve_forever(poll_interval=0.2)
        except Exception:
            failed.append(server.role)
            sys.stderr.write("portal: listener %s failed\n%s" % (server.role, traceback.format_exc()))
            state.stopping.set()

    def on_signal(signum, frame):
        state.stopping.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    threads = [threading.Thread(target=serve, args=(s,), name="listener-" + s.role, daemon=True) for s in servers]
    for t in threads:
        t.start()
    while not state.stopping.wait(0.5):
        pass
    stoppers = [threading.Thread(target=s.shutdown) for s in servers]
    for t in stoppers:
        t.start()
    for t in stoppers:
        t.join()
    for server in servers:
        server.server_close()
    if game_server:
        game_server.stop()
    log.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
