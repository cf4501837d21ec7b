#!/bin/sh
# Starts a private INN news server on 127.0.0.1:PORT in the foreground, all
# its state (inn.conf, active file, history, spool, overview, logs, control
# socket) under STATE; readers from localhost may read and post, as INN's
# stock readers.conf allows. Create groups with
#   INNCONF=STATE/inn.conf /usr/lib/news/bin/ctlinnd -s newgroup NAME y
# once it answers. usage: inn_start.sh STATE PORT
set -eu
state=$1
port=$2
newsbin=/usr/lib/news/bin
for d in db log run spool spool/articles spool/overview spool/incoming spool/incoming/tmp \
         spool/outgoing spool/archive; do
  mkdir -p "$state/$d"
done
# The package's database (active file, newsgroups, an empty history) is the
# starting point; the package configuration in /etc/news is read as it is.
cp -a /var/lib/news/. "$state/db/"
# Give the history a fresh start: articles of an earlier run are not there.
rm -f "$state"/db/history*
: > "$state/db/history"
# Keep the package's inn.conf for what we do not set, and override the rest
# (later lines win over earlier ones in inn.conf).
sed -e '/^port:/d' -e '/^bindaddress:/d' -e '/^domain:/d' -e '/^pathhost:/d' \
    -e '/^path[a-z]*:/d' /etc/news/inn.conf > "$state/inn.conf"
cat >> "$state/inn.conf" <<CONF
domain:                      localdomain
pathhost:                    localhost.localdomain
port:                        $port
bindaddress:                 127.0.0.1
pathnews:                    /usr/lib/news
pathbin:                     $newsbin
pathcontrol:                 $newsbin/control
pathfilter:                  /etc/news/filter
pathetc:                     /etc/news
pathhttp:                    $state/http
pathdb:                      $state/db
pathlog:                     $state/log
pathrun:                     $state/run
pathspool:                   $state/spool
patharticles:                $state/spool/articles
pathoverview:                $state/spool/overview
pathincoming:                $state/spool/incoming
pathtmp:                     $state/spool/incoming/tmp
pathoutgoing:                $state/spool/outgoing
patharchive:                 $state/spool/archive
CONF
INNCONF="$state/inn.conf"
export INNCONF
# Rebuild the history index for the empty history.
chown -R news:news "$state"
chmod 755 "$state"
setpriv --reuid=news --regid=news --init-groups "$newsbin/makedbz" -i -o
# innd runs as news (setpriv execs: the caller holds innd itself); -f keeps
# it in the foreground.
exec setpriv --reuid=news --regid=news --init-groups "$newsbin/innd" -f
